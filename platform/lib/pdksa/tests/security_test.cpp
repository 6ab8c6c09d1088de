// Sessions, secrets and passwords: what a login may do once its object is
// gone, who reads secret attributes, how passwords are kept and guessed at.
#include "fixture.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

using namespace pdksatest;

namespace {

bool OnLdapStore(const std::string& store) {
    return store.rfind("ldap://", 0) == 0;
}

// The last number in a value (an id, or a packed hash's iteration count).
int64_t LastNumber(const std::string& v, int64_t none) {
    const size_t colon = v.rfind(':');
    return v.empty() ? none : std::atoll(v.c_str() + (colon == std::string::npos ? 0 : colon + 1));
}

// One number from the store for an object's path, read past the library;
// none when there is no such row. On LDAP, ldapAttr of the object's entry.
int64_t StoreNumber(const std::string& store, const char* sql, const std::string& path,
                    int64_t none, const char* ldapAttr) {
    if (OnLdapStore(store)) {
        const auto vals = LdapValues(store, "(arborPath=" + LdapFilterValue(path) + ")", ldapAttr);
        return vals.size() == 1 ? LastNumber(vals[0], none) : none;
    }
    sqlite3* db = nullptr;
    int64_t n = none;
    if (sqlite3_open_v2(store.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db, sql, -1, &st, nullptr);
        sqlite3_bind_text(st, 1, path.c_str(), -1, SQLITE_TRANSIENT);
        if (sqlite3_step(st) == SQLITE_ROW) n = sqlite3_column_int64(st, 0);
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return n;
}

class Security : public DirTest {
  protected:
    const std::string org = "\\ACME\\org";

    // An administrator object with supervisor rights at the tree root.
    DDCContextHandle TreeAdmin() {
        DDCContextHandle a = UserLogin(org + "\\Admin", "pw-admin");
        EXPECT_EQ(Grant(admin, "\\ACME", DDC_ENTRY_SUPERVISOR | 0x0F, DDC_ACL_ENTRY_RIGHTS,
                        org + "\\Admin"),
                  0);
        return a;
    }

    int64_t ObjectId(const std::string& path) {
        return StoreNumber(store, "SELECT id FROM obj WHERE path=?", path, -1, "arborId");
    }
};

TEST_F(Security, RemovedObjectsSessionHasNoRightsAndItsIdIsNeverReused) {
    DDCContextHandle root = TreeAdmin();
    DDCContextHandle bob = UserLogin(org + "\\bob", "pw-bob");
    const DDCContextHandle bobCopy = Copy(bob);
    const int64_t bobId = ObjectId(org + "\\bob");
    ASSERT_EQ(DDCRemoveEntry(root, (org + "\\bob").c_str()), 0);
    // carol is created next and made supervisor of the organisation.
    ASSERT_EQ(Create(root, org + "\\carol", "User"), 0);
    EXPECT_NE(ObjectId(org + "\\carol"), bobId);
    EXPECT_GT(ObjectId(org + "\\carol"), bobId);
    ASSERT_EQ(Grant(root, org, DDC_ENTRY_SUPERVISOR, DDC_ACL_ENTRY_RIGHTS, org + "\\carol"), 0);

    for (DDCContextHandle stale : {bob, bobCopy}) {
        EXPECT_EQ(Modify(stale, org + "\\Admin", Entries().Add(5, "Full Name", "Mallory")),
                  DDCERR_NOT_LOGGED_IN);
        EXPECT_EQ(Create(stale, org + "\\eve", "User"), DDCERR_NOT_LOGGED_IN);
        EXPECT_EQ(DDCRemoveEntry(stale, (org + "\\carol").c_str()), DDCERR_NOT_LOGGED_IN);
        std::vector<std::string> out;
        EXPECT_EQ(Read(stale, org + "\\Admin", "CN", out), DDCERR_NOT_LOGGED_IN);
        // What libkdx asks before handing out a copy of its login.
        EXPECT_EQ(DDCAuthenticateConnection(stale), DDCERR_NOT_LOGGED_IN);
        DDCContextHandle copy = 0;
        EXPECT_EQ(DDCDuplicateContext(stale, &copy), DDCERR_NOT_LOGGED_IN);
    }
    EXPECT_TRUE(Values(org + "\\Admin", "Full Name").empty());
    // Removing the newest object and creating another still gives a new id.
    const int64_t carolId = ObjectId(org + "\\carol");
    ASSERT_EQ(DDCRemoveEntry(root, (org + "\\carol").c_str()), 0);
    ASSERT_EQ(Create(root, org + "\\dave", "User"), 0);
    EXPECT_GT(ObjectId(org + "\\dave"), carolId);
    // A fresh login of a live object works as before.
    DDCContextHandle dave = UserLogin(org + "\\dave", "pw-dave");
    EXPECT_EQ(DDCAuthenticateConnection(dave), 0);
}

TEST_F(Security, SecretAttributesAreReadByTheObjectAndItsSupervisorsOnly) {
    DDCContextHandle root = TreeAdmin();
    DDCAttrDef d{DDC_ATTRDEF_SINGLE_VALUED | DDC_ATTRDEF_PUBLIC_READ, DDC_SYN_TEXT, 0, 0, 0, 0};
    ASSERT_EQ(DDCDefineAttribute(root, "Quill:ACL", &d), 0);
    const void* sup[] = {"Top", nullptr};
    const void* contain[] = {"Tree Root", nullptr};
    const void* naming[] = {"CN", nullptr};
    const void* optional[] = {"Quill:ACL", "Description", "Private Key", nullptr};
    DDCClassDef cd{DDC_CLASS_EFFECTIVE, 0, 0, sup, contain, naming, naming, optional, 0};
    ASSERT_EQ(DDCDefineClass(root, "X:Services", &cd), 0);
    const std::string svc = "\\ACME\\Internet Services";
    ASSERT_EQ(Create(root, svc, "X:Services",
                     Entries()
                         .Add(0, "Quill:ACL", "0123456789abcdef0123456789abcdef")
                         .Add(0, "Private Key", "k")
                         .Add(0, "Description", "public")),
              0);
    DDCContextHandle self = UserLogin(svc, "pw-svc");
    DDCContextHandle user = UserLogin(org + "\\mail-user", "pw-user");

    std::vector<std::string> out;
    for (DDCContextHandle who : {self, root, admin}) {
        ASSERT_EQ(Read(who, svc, "Quill:ACL", out), 0);
        EXPECT_EQ(out, Strings{"0123456789abcdef0123456789abcdef"});
        ASSERT_EQ(Read(who, svc, "Private Key", out), 0);
        EXPECT_EQ(out, Strings{"k"});
    }
    EXPECT_EQ(Read(user, svc, "Quill:ACL", out), DDCERR_NO_ACCESS);
    EXPECT_EQ(Read(user, svc, "private key", out), DDCERR_NO_ACCESS);
    EXPECT_EQ(Read(user, svc, "Description", out), 0);

    // Reading every attribute leaves the secrets out; a batch read as well.
    auto allValues = [&](DDCContextHandle who) {
        std::vector<std::string> all;
        EXPECT_EQ(DDCResolveName(who, DDC_RESOLVE_FOR_READ, svc.c_str()), 0);
        DDCReadRequest req{0, nullptr, 0, 0, 0};
        EXPECT_EQ(DDCReadToCB(
                      who, &req, 1, 10240,
                      [](DDCContextHandle, const DDCEntry* e, void* arg) {
                          static_cast<std::vector<std::string>*>(arg)->emplace_back(
                              static_cast<const char*>(e->value));
                          return 0;
                      },
                      &all),
                  0);
        alignas(8) unsigned char buf[4096];
        int32_t count = 0;
        const void* names[] = {"Quill:ACL", "Description", nullptr};
        DDCReadRequest some{0, names, 0, 0, 0};
        EXPECT_EQ(DDCReadToBuffer(who, &some, 1, 0, sizeof buf, buf, &count), 0);
        for (int32_t i = 0; i < count; ++i) {
            DDCEntry e;
            std::memcpy(&e, buf + i * sizeof e, sizeof e);
            all.emplace_back(static_cast<const char*>(e.value));
        }
        return all;
    };
    auto has = [](const std::vector<std::string>& v, const std::string& x) {
        return std::find(v.begin(), v.end(), x) != v.end();
    };
    const auto seen = allValues(user);
    EXPECT_TRUE(has(seen, "public"));
    EXPECT_FALSE(has(seen, "k"));
    EXPECT_FALSE(has(seen, "0123456789abcdef0123456789abcdef"));
    EXPECT_TRUE(has(allValues(self), "0123456789abcdef0123456789abcdef"));

    // Supervisor over the object through an ACL on its container.
    ASSERT_EQ(Grant(root, "\\ACME", DDC_ATTR_SUPERVISOR, "Quill:ACL", org + "\\mail-user"), 0);
    EXPECT_EQ(Read(user, svc, "Quill:ACL", out), 0);
    EXPECT_EQ(Read(user, svc, "Private Key", out), DDCERR_NO_ACCESS);
    // A plain read grant is not enough.
    ASSERT_EQ(Grant(root, "\\ACME", DDC_ATTR_READ | DDC_ATTR_COMPARE, DDC_ACL_ALL_ATTRIBUTES,
                    org + "\\mail-user"),
              0);
    EXPECT_EQ(Read(user, svc, "Private Key", out), DDCERR_NO_ACCESS);
}

TEST_F(Security, RemovalNeverTakesTheLastValueOfAnotherObjectsMandatoryAttribute) {
    DDCContextHandle root = TreeAdmin();
    DDCAttrDef d{0, DDC_SYN_DIST_NAME, 0, 0, 0, 0};
    ASSERT_EQ(DDCDefineAttribute(root, "X:Postmaster", &d), 0);
    const void* sup[] = {"Top", nullptr};
    const void* contain[] = {"Organization", nullptr};
    const void* naming[] = {"CN", nullptr};
    const void* mandatory[] = {"CN", "X:Postmaster", nullptr};
    DDCClassDef cd{DDC_CLASS_EFFECTIVE, 0, 0, sup, contain, naming, mandatory, nullptr, 0};
    ASSERT_EQ(DDCDefineClass(root, "X:Mail Server", &cd), 0);
    const std::string server = org + "\\MAIL";
    ASSERT_EQ(Create(root, server, "X:Mail Server",
                     Entries().Add(0, "X:Postmaster", org + "\\Admin", DDC_SYN_DIST_NAME)),
              0);
    ASSERT_EQ(Create(root, org + "\\Team", "Group",
                     Entries().Add(0, "Member", org + "\\Admin", DDC_SYN_DIST_NAME)),
              0);

    EXPECT_EQ(DDCRemoveEntry(admin, (org + "\\Admin").c_str()), DDCERR_MISSING_MANDATORY);
    // Nothing changed: the object, the postmaster, the membership, the rights.
    EXPECT_EQ(DDCResolveName(admin, DDC_RESOLVE_FOR_READ, (org + "\\Admin").c_str()), 0);
    EXPECT_EQ(Values(server, "X:Postmaster"), Strings{org + "\\Admin"});
    EXPECT_EQ(Values(org + "\\Team", "Member"), Strings{org + "\\Admin"});
    EXPECT_EQ(Values("\\ACME", "ACL").size(), 1u);

    // With a second postmaster the removal goes through and the other stays.
    ASSERT_EQ(Create(root, org + "\\Deputy", "User"), 0);
    ASSERT_EQ(Modify(root, server, Entries().Add(2, "X:Postmaster", org + "\\Deputy")), 0);
    EXPECT_EQ(DDCRemoveEntry(admin, (org + "\\Admin").c_str()), 0);
    EXPECT_EQ(Values(server, "X:Postmaster"), Strings{org + "\\Deputy"});
    EXPECT_TRUE(Values(org + "\\Team", "Member").empty());
    // The object itself may go with its own mandatory values.
    EXPECT_EQ(DDCRemoveEntry(admin, server.c_str()), 0);
    EXPECT_EQ(DDCRemoveEntry(admin, (org + "\\Deputy").c_str()), 0);
}

// The stored iteration count of an object's hash, 0 when it has none.
int64_t StoredIterations(const std::string& store, const std::string& path) {
    return StoreNumber(store, "SELECT iter FROM pw JOIN obj ON obj.id=pw.obj WHERE obj.path=?",
                       path, 0, "arborPassword");
}

// Sets store options in meta the way an administrator would with sqlite3
// (or ldapmodify: the arborOption values of ou=meta).
void SetMeta(const std::string& store, const std::string& key, int64_t value) {
    if (OnLdapStore(store)) {
        std::vector<std::string> opts;
        for (const auto& o : LdapValues(store, "(ou=meta)", "arborOption"))
            if (o.rfind(key + "=", 0) != 0) opts.push_back(o);
        opts.push_back(key + "=" + std::to_string(value));
        ASSERT_TRUE(LdapReplace(store, "ou=meta", "arborOption", opts));
        return;
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(store.c_str(), &db), SQLITE_OK);
    sqlite3_busy_timeout(db, 5000);
    const std::string sql =
        "INSERT OR REPLACE INTO meta VALUES('" + key + "', " + std::to_string(value) + ")";
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
}

// Restores the suite's iteration count when a test changed it.
class Iterations {
  public:
    Iterations() {
        if (const char* e = std::getenv("ARBOR_PW_ITERATIONS")) saved_ = e, had_ = true;
    }
    ~Iterations() {
        if (had_)
            setenv("ARBOR_PW_ITERATIONS", saved_.c_str(), 1);
        else
            unsetenv("ARBOR_PW_ITERATIONS");
    }

  private:
    std::string saved_;
    bool had_ = false;
};

TEST_F(Security, PasswordsKeepTheirParametersAndAreRedoneWithCurrentOnes) {
    Iterations restore;
    const std::string u = org + "\\pat";
    ASSERT_EQ(Create(admin, u, "User"), 0);
    // Current guidance for new hashes.
    unsetenv("ARBOR_PW_ITERATIONS");
    ASSERT_EQ(DDCResolveName(admin, DDC_RESOLVE_FOR_WRITE, u.c_str()), 0);
    ASSERT_EQ(DDCGenerateKeyPair(admin, "pw-now"), 0);
    EXPECT_EQ(StoredIterations(store, u), 600000);
    // Below the floor the environment cannot go.
    setenv("ARBOR_PW_ITERATIONS", "10", 1);
    ASSERT_EQ(DDCGenerateKeyPair(admin, "pw-old"), 0);
    EXPECT_EQ(StoredIterations(store, u), 1000);

    // A hash made with fewer iterations verifies, and is redone at the next
    // successful check only.
    setenv("ARBOR_PW_ITERATIONS", "3000", 1);
    DDCContextHandle c = Context();
    ASSERT_EQ(DDCResolveName(c, DDC_RESOLVE_WRITE, u.c_str()), 0);
    EXPECT_EQ(DDCLogin(c, "wrong"), DDCERR_FAILED_AUTHENTICATION);
    EXPECT_EQ(StoredIterations(store, u), 1000);
    ASSERT_EQ(DDCLogin(c, "pw-old"), 0);
    EXPECT_EQ(StoredIterations(store, u), 3000);
    EXPECT_EQ(DDCVerifyPassword(c, "pw-old"), 0);
    EXPECT_EQ(DDCVerifyPassword(c, "pw-now"), DDCERR_FAILED_AUTHENTICATION);
    // A count above the current one stays as it is.
    setenv("ARBOR_PW_ITERATIONS", "2000", 1);
    EXPECT_EQ(DDCVerifyPassword(c, "pw-old"), 0);
    EXPECT_EQ(StoredIterations(store, u), 3000);
    ASSERT_EQ(DDCChangePassword(c, "pw-old", "pw-new"), 0);
    EXPECT_EQ(StoredIterations(store, u), 2000);
    EXPECT_EQ(DDCVerifyPassword(c, "pw-new"), 0);
}

TEST_F(Security, RepeatedWrongPasswordsLockTheObjectOut) {
    SetMeta(store, "intruder_attempts", 3);
    SetMeta(store, "intruder_lockout_seconds", 1);
    const std::string u = org + "\\sales\\guessme";
    DDCContextHandle c = UserLogin(u, "right");
    auto attempts = [&] { return Values(u, "Login Intruder Attempts"); };

    EXPECT_EQ(DDCLogin(c, "guess1"), DDCERR_FAILED_AUTHENTICATION);
    EXPECT_EQ(DDCVerifyPassword(c, "guess2"), DDCERR_FAILED_AUTHENTICATION);
    EXPECT_EQ(attempts(), Strings{"2"});
    // A success starts the count over.
    ASSERT_EQ(DDCLogin(c, "right"), 0);
    EXPECT_TRUE(attempts().empty());
    for (const char* g : {"g1", "g2", "g3"})
        EXPECT_EQ(DDCLogin(c, g), DDCERR_FAILED_AUTHENTICATION);
    EXPECT_EQ(attempts(), Strings{"3"});
    // Locked: the right password is refused too, in every form of check.
    EXPECT_EQ(DDCLogin(c, "right"), DDCERR_FAILED_AUTHENTICATION);
    EXPECT_EQ(DDCVerifyPassword(c, "right"), DDCERR_FAILED_AUTHENTICATION);
    EXPECT_EQ(DDCChangePassword(c, "right", "other"), DDCERR_FAILED_AUTHENTICATION);
    // An administrator's reset ends the lock-out.
    ASSERT_EQ(DDCResolveName(admin, DDC_RESOLVE_FOR_WRITE, u.c_str()), 0);
    ASSERT_EQ(DDCGenerateKeyPair(admin, "reset"), 0);
    EXPECT_TRUE(attempts().empty());
    ASSERT_EQ(DDCLogin(c, "reset"), 0);
    // Locked again, the lock-out ends by itself.
    for (const char* g : {"g1", "g2", "g3"})
        EXPECT_EQ(DDCLogin(c, g), DDCERR_FAILED_AUTHENTICATION);
    EXPECT_EQ(DDCLogin(c, "reset"), DDCERR_FAILED_AUTHENTICATION);
    sleep(2);
    EXPECT_EQ(DDCLogin(c, "reset"), 0);

    // Failures further apart than the reset interval never add up.
    SetMeta(store, "intruder_reset_seconds", 1);
    for (int i = 0; i < 3; ++i) {
        if (i > 0) sleep(1);
        EXPECT_EQ(DDCLogin(c, "wrong"), DDCERR_FAILED_AUTHENTICATION);
    }
    EXPECT_EQ(DDCLogin(c, "reset"), 0);
    // Detection off: no count at all.
    SetMeta(store, "intruder_attempts", 0);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(DDCLogin(c, "wrong"), DDCERR_FAILED_AUTHENTICATION);
    EXPECT_EQ(DDCLogin(c, "reset"), 0);
}

} // namespace
