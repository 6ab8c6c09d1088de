// One call's connection to the LDAP store (see ldap_store.h for the layout).
//
// Between BeginWrite and Commit the changes to objects collect per entry
// and are sent at Commit, one add or one modify per entry, each atomic; a
// modify carries the entryCSN the entry had when the call first read it, so
// a call that raced another writer fails as a whole (-634) instead of
// overwriting it. Reads inside the call see its own pending changes. Calls
// that span entries (rename, removal, schema changes) send what is pending
// first and then go step by step in an order that leaves the tree
// consistent when one step fails.
#pragma once

#include "ldap_ops.h"

#include <map>
#include <set>

namespace pdksa {

class LdapConn final : public Conn {
  public:
    LdapConn(LdapStore* store, std::unique_ptr<LdapHandle> h)
        : Conn(store), ls_(store), h_(std::move(h)) {}
    LdapHandle& handle() { return *h_; }

    int BeginWrite() override;
    int Commit() override;
    void Rollback() override;
    bool InTransaction() const override { return inTx_; }

    int FindPath(const std::string& lpath, int64_t& id) override;
    int ObjectInfo(int64_t id, ObjInfo& out) override;
    int Children(int64_t parent, const std::string& classFilter,
                 std::vector<std::string>& names) override;
    int HasChildren(int64_t id, bool& any) override;
    int SubtreePaths(const std::string& path, std::vector<std::string>& out) override;
    int InsertObject(int64_t parent, const std::string& rdn, const std::string& path,
                     const std::string& cls, int64_t& id) override;
    int RenameObject(int64_t id, const std::string& oldPath, const std::string& rdn,
                     const std::string& newPath) override;
    int RemoveObject(int64_t id) override;

    int ReadValues(int64_t obj, const std::string& lattr, std::vector<Value>& out) override;
    int WriteValues(int64_t obj, const std::string& lattr, const std::vector<Value>& vals) override;
    int AttrNames(int64_t obj, std::vector<std::string>& out) override;
    int AclGrants(int64_t obj, int64_t trustee,
                  std::vector<std::pair<std::string, uint32_t>>& out) override;
    int ReferencesTo(int64_t obj, std::vector<RefUse>& out) override;

    int InsertAttrDef(const std::string& lname, const AttrDef& def) override;
    int RemoveAttrDef(const std::string& lname) override;
    int InsertClassDef(const std::string& lname, const ClassDef& def) override;
    int SetClassOptionals(const std::string& lname,
                          const std::vector<std::string>& optional) override;
    int RemoveClassDef(const std::string& lname) override;
    int BumpSchema() override;
    int AttrInUse(const std::string& lattr, bool& used) override;
    int ClassInUse(const std::string& lclass, bool& used) override;

    int ReadPassword(int64_t obj, PasswordHash& out) override;
    int WritePassword(int64_t obj, const PasswordHash& h) override;
    int ReadIntruderPolicy(IntruderPolicy& out) override;
    int ReadIntruder(int64_t obj, IntruderState& out) override;
    int WriteIntruder(int64_t obj, const IntruderState& st) override;
    int ClearIntruder(int64_t obj) override;

  protected:
    int SchemaGeneration(int64_t& gen) override;
    int ReadSchema(Schema& out) override;

  private:
    using Obj = LdapObj;
    int Map(int ldapRc) { return ldapops::Map(ldapRc, *h_); }
    const LdapSettings& settings() const { return ls_->settings(); }
    int Load(int64_t id, Obj& out);
    int Parse(const ldapops::Entry& e, Obj& out);
    int DisplayPath(const std::string& dn, const std::string& stored, std::string& path);
    // The object, from this call's changes, the read cache or the server
    // (NO_SUCH_ENTRY); good until the next Get.
    int Get(int64_t id, const Obj*& out);
    int Touch(int64_t id, Obj*& out); // Get for a change
    void Changed(int64_t id);         // queues it for the commit
    int FillRefPaths(std::vector<Value>& vals);
    int Flush(); // sends the pending changes
    int FlushOne(const Obj& o);
    int DropReferences(int64_t id, const std::string& holderDn);
    int FixSubtreePaths(const std::string& dn, const std::string& path);
    int SubtreeNames(const std::string& dn, std::map<std::string, std::string>& names);
    int SchemaWrite(); // before the first definition change of a call
    int SchemaAdd(const char* container, const std::string& lname, const std::string& def,
                  int exists);
    int Exists(const std::string& filter, bool& found);
    template <class F> int Write(F&& change);

    LdapStore* ls_;
    std::unique_ptr<LdapHandle> h_;
    bool inTx_ = false, schemaBumped_ = false;
    std::map<int64_t, Obj> touched_;
    std::vector<int64_t> order_;              // first change order: parents before children
    std::map<std::string, int64_t> newPaths_; // folded paths of pending new objects
    std::shared_ptr<const Obj> held_;         // the last object Get read
};

} // namespace pdksa
