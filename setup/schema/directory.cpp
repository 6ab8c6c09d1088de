#include "directory.h"

#include <cstring>

namespace quill::detail {

Entries& Entries::Add(const char* attr, uint32_t syntax, std::string value, uint32_t op) {
    const std::string& v = strings_.emplace_back(std::move(value));
    list_.push_back(
        DDCEntry{op, syntax, 0, static_cast<uint32_t>(v.size()), attr, 0, 0, v.c_str()});
    return *this;
}

Entries& Entries::Acl(const char* attr, uint32_t privileges, const char* protectedAttr,
                      std::string trustee) {
    const std::string& t = strings_.emplace_back(std::move(trustee));
    const DDCACL& acl = acls_.emplace_back(DDCACL{privileges, protectedAttr, t.c_str()});
    // An ACL value travels as its three words.
    list_.push_back(DDCEntry{DDC_OP_ADD_VALUE, DDC_SYN_ACL, 0, 12, attr, 0, 0, &acl});
    return *this;
}

Entries& Entries::Clear(const char* attr) {
    list_.push_back(DDCEntry{DDC_OP_CLEAR, DDC_SYN_TEXT, 0, 0, attr, 0, 0, nullptr});
    return *this;
}

namespace {
int Collect(DDCContextHandle, const DDCEntry* entry, void* arg) {
    auto* out = static_cast<std::vector<std::string>*>(arg);
    if (entry && entry->value) out->emplace_back(static_cast<const char*>(entry->value));
    return 0;
}
} // namespace

std::vector<std::string> ReadValues(DDCContextHandle ctx, const char* attr) {
    std::vector<std::string> out;
    const void* names[] = {attr, nullptr};
    DDCReadRequest req{0, names, 0, 0, 0};
    if (DDCReadToCB(ctx, &req, 1, 10240, Collect, &out) != 0) out.clear();
    return out;
}

std::vector<std::string> ReadValues(DDCContextHandle ctx, const std::string& object,
                                    const char* attr) {
    if (DDCResolveName(ctx, DDC_RESOLVE_FOR_READ, object.c_str()) != 0) return {};
    return ReadValues(ctx, attr);
}

bool Exists(DDCContextHandle ctx, const std::string& name) {
    return DDCResolveName(ctx, DDC_RESOLVE_FOR_READ, name.c_str()) == 0;
}

std::string BaseClass(DDCContextHandle ctx, const std::string& name) {
    if (DDCResolveName(ctx, DDC_RESOLVE_FOR_READ, name.c_str()) != 0) return {};
    alignas(void*) char info[1024];
    if (DDCGetEntryInfo(ctx, DDC_INFO_BASE_CLASS, sizeof info, info) != 0) return {};
    const char* text = nullptr;
    std::memcpy(&text, info, sizeof text);
    // The string must lie inside the buffer we handed over.
    if (!text || text < info || text >= info + sizeof info) return {};
    return std::string(text, strnlen(text, static_cast<size_t>(info + sizeof info - text)));
}

void ReportFailure(const Progress& p, std::string_view what, int code) {
    std::string line(what);
    line += " failed: DS Error: ";
    line += DirectoryErrorText(code);
    Report(p, Step::Heading, line);
}

int Modify(DDCContextHandle ctx, const std::string& name, const Entries& entries) {
    int rc = DDCResolveName(ctx, DDC_RESOLVE_FOR_WRITE, name.c_str());
    if (rc != 0) return rc;
    return DDCModifyEntry(ctx, entries.Count(), entries.Data());
}

int CreateReported(DDCContextHandle ctx, const std::string& fullName, std::string_view shown,
                   const Entries& entries, const Progress& progress) {
    Report(progress, Step::Item, shown);
    int rc = DDCCreateEntry(ctx, fullName.c_str(), entries.Count(), entries.Data());
    Report(progress, Step::Result, rc == 0 ? kMsgCreated : kMsgNotCreated);
    return rc;
}

} // namespace quill::detail
