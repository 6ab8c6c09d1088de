// Schema passes, the product's containers, and their removal.
#include "ascii.h"
#include "directory.h"
#include "kdxcommon.h"
#include "quillschema.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <strings.h>
#include <vector>

using namespace quill::detail;

extern "C" int DDCRemoveAttributeDefinition(DDCContextHandle ctx, const char* name) {
    constexpr size_t kSize = 512;
    std::unique_ptr<char, decltype(&std::free)> buf(static_cast<char*>(std::malloc(kSize)),
                                                    &std::free);
    if (!buf) return -150;
    char* cur = buf.get();
    std::memset(cur, 0, 4);
    cur += 4;
    int rc = DDCWPutString(&cur, buf.get() + kSize, name ? name : "");
    if (rc != 0) return rc;
    // The reply, if any, reuses the request buffer.
    return DDCRequest(ctx, 13, static_cast<size_t>(cur - buf.get()), buf.get(), kSize, buf.get(),
                      nullptr);
}

namespace quill {

Site Site::Make(std::string_view treeName, std::string_view serverDN) {
    Site s;
    std::string prefix = "\\" + std::string(treeName) + "\\";
    if (treeName.empty() || serverDN.size() <= prefix.size() ||
        !arbor::StartsWithNoCase(serverDN, prefix))
        return s;
    s.localTree = "\\" + std::string(treeName);
    s.serverDN = std::string(serverDN);
    s.installHost = s.serverDN;
    std::string_view below = serverDN.substr(prefix.size());
    size_t cut = below.rfind('\\');
    std::string_view server = below;
    if (cut != std::string_view::npos) {
        s.installContext = std::string(below.substr(0, cut));
        server = below.substr(cut + 1);
    }
    s.msgServerName = std::string(server) + " Messaging Server";
    return s;
}

bool Site::FromConfig(Site& out) {
    char tree[KDX_TREE_NAME_SIZE];
    char dn[KDX_SERVER_DN_SIZE];
    if (!KDXConfReadServerDN(nullptr, tree, sizeof tree, dn, sizeof dn)) return false;
    out = Make(tree, dn);
    return !out.localTree.empty();
}

std::string FullAdminName(std::string_view localTree, std::string_view typed) {
    if (!typed.empty() && typed.front() == '\\') return std::string(typed);
    std::vector<std::string_view> parts;
    size_t start = 0;
    while (start <= typed.size()) {
        size_t dot = typed.find('.', start);
        if (dot == std::string_view::npos) dot = typed.size();
        parts.push_back(typed.substr(start, dot - start));
        start = dot + 1;
    }
    std::string_view tree = localTree.substr(localTree.empty() || localTree[0] != '\\' ? 0 : 1);
    std::string out(localTree);
    for (size_t i = parts.size(); i-- > 0;) {
        bool last = i + 1 == parts.size();
        if (last && parts.size() > 1 && arbor::EqualNoCase(parts[i], tree)) continue;
        out += '\\';
        out += parts[i];
    }
    return out;
}

int Login(DDCContextHandle ctx, const std::string& fullName, const std::string& password) {
    int rc = DDCResolveName(ctx, DDC_RESOLVE_FOR_WRITE, fullName.c_str());
    if (rc == 0) rc = DDCLogin(ctx, password.c_str());
    if (rc == 0) rc = DDCAuthenticateConnection(ctx);
    return rc;
}

namespace {

int ResultRow(int rc, int ok, int already, int alreadyRow, int failed) {
    if (rc == 0) return ok;
    return rc == already ? alreadyRow : failed;
}

void DefineAttributes(DDCContextHandle ctx, const Progress& progress) {
    Report(progress, Step::Heading, kMsgDefiningAttributes);
    for (const QuillAttrRow* a = QuillAttr; a->name; ++a) {
        Report(progress, Step::Item, a->name);
        DDCAttrDef def{};
        def.flags = (a->flag01 ? DDC_ATTRDEF_SINGLE_VALUED : 0) |
                    (a->lower ? DDC_ATTRDEF_SIZED : 0) | (a->flag40 ? DDC_ATTRDEF_PUBLIC_READ : 0);
        def.syntax = a->isDN ? DDC_SYN_DIST_NAME : DDC_SYN_TEXT;
        def.lower = a->lower;
        def.upper = a->upper;
        int rc = DDCDefineAttribute(ctx, a->name, &def);
        Report(progress, Step::Result, rc == 0 ? kMsgCreated : kMsgNotCreated);
    }
}

void DefineClasses(DDCContextHandle ctx, const Progress& progress) {
    Report(progress, Step::Heading, kMsgDefiningClasses);
    for (const QuillClassRow* c = QuillClass; c->name; ++c) {
        if (!c->superclass) continue;
        Report(progress, Step::Item, c->name);
        std::vector<const void*> super{c->superclass, nullptr};
        std::vector<const void*> containment, naming, mandatory;
        for (const auto& slot : c->containment)
            if (slot[0]) containment.push_back(slot);
        for (const auto& slot : c->mandatory)
            if (slot[0]) mandatory.push_back(slot);
        if (c->naming && c->naming[0]) naming.push_back(c->naming);
        containment.push_back(nullptr);
        naming.push_back(nullptr);
        mandatory.push_back(nullptr);
        DDCClassDef def{};
        def.flags =
            c->container ? (DDC_CLASS_CONTAINER | DDC_CLASS_EFFECTIVE) : DDC_CLASS_EFFECTIVE;
        def.superClasses = super.data();
        def.containment = containment.data();
        def.naming = naming.data();
        def.mandatory = mandatory.data();
        def.optional = nullptr; // attached by the next pass
        int rc = DDCDefineClass(ctx, c->name, &def);
        Report(progress, Step::Result,
               ResultRow(rc, kMsgDefined, DDCERR_CLASS_ALREADY_EXISTS, kMsgAlreadyDefined,
                         kMsgDefinitionFailed));
    }
}

void Attach(DDCContextHandle ctx, const char* className, const char* attr,
            const Progress& progress) {
    Report(progress, Step::Item, attr);
    const void* list[] = {attr, nullptr};
    int rc = DDCAddOptionalsToClass(ctx, className, list);
    Report(progress, Step::Result,
           ResultRow(rc, kMsgAdded, DDCERR_DUPLICATE_OPTIONAL, kMsgAlreadyAdded, kMsgNotAdded));
}

void AttachOptionals(DDCContextHandle ctx, const Progress& progress) {
    Report(progress, Step::Heading, kMsgAddingOptional);
    for (const QuillClassRow* c = QuillClass; c->name; ++c) {
        for (const QuillAttrRow* a = QuillAttr; a->name; ++a) {
            if (a->optionalBits & c->bits) Attach(ctx, c->name, a->name, progress);
            if (a->optionalBits2 & c->bits2) Attach(ctx, c->name, a->name, progress);
        }
    }
    Report(progress, Step::Heading, kMsgAddingSystemAttributes);
    for (const QuillClassRow* c = QuillClass; c->name; ++c)
        for (const QuillAttrRow* a = QuillSpecialAttr; a->name; ++a)
            if (a->optionalBits & c->bits) Attach(ctx, c->name, a->name, progress);
}

// "Internet Services" with its login password and its rights at the tree root. A
// failure is shown with its text and ends the step: the schema is then not
// reported as extended. False on failure.
bool CreateServices(DDCContextHandle ctx, const Site& site, const Progress& progress) {
    const std::string services = site.Services();
    Entries e;
    e.Class("Velmora:Services");
    int rc = CreateReported(ctx, services, "Internet Services", e, progress);
    if (rc != 0 && rc != DDCERR_ENTRY_ALREADY_EXISTS) {
        ReportFailure(progress, "Creating Internet Services", rc);
        return false;
    }
    // The login password goes only to our own container, never to a foreign object
    // that happens to carry the name.
    if (BaseClass(ctx, services) != "Velmora:Services") {
        Report(progress, Step::Heading,
               "Internet Services is not the product's container: no password or rights set");
        return false;
    }
    rc = DDCResolveName(ctx, DDC_RESOLVE_FOR_WRITE, services.c_str());
    if (rc == 0) {
        char pw[KDX_PASSWORD_LENGTH + 1];
        rc =
            KDXPasswordCopy(pw, sizeof pw) ? DDCGenerateKeyPair(ctx, pw) : DDCERR_INVALID_PARAMETER;
        explicit_bzero(pw, sizeof pw);
    }
    if (rc != 0) {
        ReportFailure(progress, "Setting the password of Internet Services", rc);
        return false;
    }
    Report(progress, Step::Heading, kMsgGrantingRights);
    // One value per modification, so that a value already granted does not keep the
    // other one out.
    Entries entry, all;
    entry.Acl("ACL", 31, DDC_ACL_ENTRY_RIGHTS, services);
    all.Acl("ACL", 47, DDC_ACL_ALL_ATTRIBUTES, services);
    for (const Entries* grant : {&entry, &all}) {
        rc = Modify(ctx, site.localTree, *grant);
        if (rc != 0 && rc != DDCERR_DUPLICATE_VALUE) {
            ReportFailure(progress, "Granting rights at " + site.localTree, rc);
            return false;
        }
    }
    Report(progress, Step::Heading, kMsgSchemaExtended);
    return true;
}

void CreateContainers(DDCContextHandle ctx, const Site& site, const Progress& progress) {
    const std::string services = site.Services();
    struct Sub {
        std::string name;
        const char* shown;
        const char* cls;
    } subs[] = {
        {services + "\\Mailing Lists", "Mailing Lists", "Quill:ListContainer"},
        {services + "\\Parent Objects", "Parent Objects", "Quill:ParentContainer"},
        {services + "\\Templates", "Templates", "Quill:TemplateContainer"},
        {services + "\\Templates\\Skyport", "Skyport", "Quill:LatticeTemplate"},
        {services + "\\Templates\\Webmail", "Webmail", "Quill:LatticeTemplate"},
    };
    for (const Sub& s : subs) {
        Entries e;
        e.Class(s.cls);
        CreateReported(ctx, s.name, s.shown, e, progress);
    }
}

// Deletes an object with everything below it, depth first. Subordinates are listed
// completely (in batches) before any of them is deleted, since a resolve restarts
// the listing.
int DeleteSubtree(DDCContextHandle ctx, const std::string& name, int depth) {
    int rc = DDCRemoveEntry(ctx, name.c_str());
    if (rc != DDCERR_ENTRY_IS_NOT_LEAF || depth > DDC_MAX_DN_CHARS) return rc;
    rc = DDCResolveName(ctx, DDC_RESOLVE_FOR_READ, name.c_str());
    if (rc != 0) return rc;
    std::vector<std::string> children;
    alignas(void*) char buf[8192];
    DDCListRequest req{0, 0, 1, 0, nullptr, nullptr, 0, 0};
    for (;;) {
        int32_t count = 0;
        rc = DDCListToBuffer(ctx, &req, 8192, sizeof buf, buf, &count);
        if (rc != 0 || count <= 0) break;
        if (static_cast<size_t>(count) > sizeof buf / sizeof(void*)) break;
        for (int32_t i = 0; i < count; ++i) {
            const char* child = nullptr;
            std::memcpy(&child, buf + i * sizeof(void*), sizeof child);
            if (!child || child < buf || child >= buf + sizeof buf) continue;
            children.emplace_back(child,
                                  strnlen(child, static_cast<size_t>(buf + sizeof buf - child)));
        }
    }
    for (const std::string& child : children) {
        std::string full = child.front() == '\\' ? child : name + "\\" + child;
        DeleteSubtree(ctx, full, depth + 1);
    }
    return DDCRemoveEntry(ctx, name.c_str());
}

} // namespace

void DefineSchema(DDCContextHandle ctx, const Site& site, const Progress& progress) {
    Report(progress, Step::Clear, "");
    DefineAttributes(ctx, progress);
    DefineClasses(ctx, progress);
    AttachOptionals(ctx, progress);
    if (!CreateServices(ctx, site, progress)) return;
    CreateContainers(ctx, site, progress);
}

void MoveOldContainer(DDCContextHandle ctx, const Site& site, const Progress& progress) {
    Report(progress, Step::Heading, kMsgUpgrading);
    const std::string old = site.localTree + "\\Velmora Services";
    if (Exists(ctx, old)) DDCModifyRDN(ctx, old.c_str(), "Internet Services", 1);
}

Removal RemoveSchema(DDCContextHandle ctx, const Site& site, const Progress& progress,
                     const std::function<bool()>& confirmSubtree, int* lastCode) {
    int ccode = 0;
    Report(progress, Step::Clear, "");
    Report(progress, Step::Heading, kMsgRemovingSchema);
    Report(progress, Step::Heading, kMsgRemovingObsoleteClasses);
    for (const QuillClassRow* c = QuillObsoleteClass; c->name; ++c) {
        Report(progress, Step::Item, c->name);
        DDCRemoveClass(ctx, c->name);
    }
    Report(progress, Step::Heading, kMsgRemovingObsoleteAttributes);
    for (const QuillAttrRow* a = QuillObsoleteAttr; a->name; ++a) {
        Report(progress, Step::Item, a->name);
        DDCRemoveAttributeDefinition(ctx, a->name);
    }
    const std::string services = site.Services();
    if (Exists(ctx, services)) {
        if (BaseClass(ctx, services) != "Velmora:Services") return Removal::ForeignContainer;
        int rc = DDCRemoveEntry(ctx, services.c_str());
        if (rc == DDCERR_ENTRY_IS_NOT_LEAF) {
            if (!confirmSubtree || !confirmSubtree()) return Removal::Declined;
            DeleteSubtree(ctx, services, 0);
        }
    }
    Report(progress, Step::Heading, kMsgRemovingClasses);
    for (int i = QUILL_CLASS_COUNT; i-- > 0;)
        ccode = DDCRemoveClass(ctx, QuillClass[i].name);
    Report(progress, Step::Heading, kMsgRemovingAttributes);
    for (const QuillAttrRow* a = QuillAttr; a->name; ++a)
        ccode = DDCRemoveAttributeDefinition(ctx, a->name);
    if (lastCode) *lastCode = ccode;
    Report(progress, Step::Heading, kMsgSchemaRemoved);
    return Removal::Done;
}

bool ServerConfigured(DDCContextHandle ctx, const Site& site) {
    return !ReadValues(ctx, site.installHost, "Velmora:Messaging Server").empty();
}

} // namespace quill
