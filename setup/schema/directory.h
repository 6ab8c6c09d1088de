// Small helpers over the directory client calls, shared by the schema and server code.
#pragma once

#include "pdksa.h"
#include "quillschema.h"

#include <deque>
#include <string>
#include <vector>

namespace quill::detail {

inline void Report(const Progress& p, Step s, std::string_view text) {
    if (p) p(s, text);
}
inline void Report(const Progress& p, Step s, int row) {
    Report(p, s, Text(row));
}

// A failed step on the screen: what failed and the catalogue's text of the code.
void ReportFailure(const Progress& p, std::string_view what, int code);

// A list of attribute entries whose values live as long as the list.
class Entries {
  public:
    Entries& Add(const char* attr, uint32_t syntax, std::string value,
                 uint32_t op = DDC_OP_ADD_VALUE);
    Entries& Acl(const char* attr, uint32_t privileges, const char* protectedAttr,
                 std::string trustee);
    Entries& Clear(const char* attr);
    Entries& Class(const char* className) {
        return Add("Object Class", DDC_SYN_CLASS_NAME, className);
    }

    uint32_t Count() const { return static_cast<uint32_t>(list_.size()); }
    const DDCEntry* Data() const { return list_.data(); }

  private:
    std::deque<std::string> strings_; // deque: element addresses stay put
    std::deque<DDCACL> acls_;
    std::vector<DDCEntry> list_;
};

// Values of one attribute of the current object; empty when none or unreadable.
std::vector<std::string> ReadValues(DDCContextHandle ctx, const char* attr);
// Values of an attribute of a named object.
std::vector<std::string> ReadValues(DDCContextHandle ctx, const std::string& object,
                                    const char* attr);
bool Exists(DDCContextHandle ctx, const std::string& name);
// Base class of the named object; empty when it cannot be read.
std::string BaseClass(DDCContextHandle ctx, const std::string& name);
// Modification of a named object: resolve, then one DDCModifyEntry.
int Modify(DDCContextHandle ctx, const std::string& name, const Entries& entries);
// Creation that reports the item and " created" / " not created".
int CreateReported(DDCContextHandle ctx, const std::string& fullName, std::string_view shown,
                   const Entries& entries, const Progress& progress);

} // namespace quill::detail
