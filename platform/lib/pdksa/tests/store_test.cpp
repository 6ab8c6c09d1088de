// The store itself: where it is, unreachable and damaged stores, several
// processes and threads at once, and the raw requests.
#include "fixture.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <thread>

using namespace pdksatest;

extern "C" int pdksa_c_header_check(void);

namespace {

using arbortest::ReadFile;

TEST(StoreLocation, EnvironmentThenConfigurationFileThenDefault) {
    const arbortest::TempDir tmp("pdksa-test");
    const std::string conf = tmp / "arbor.conf";
    std::ofstream(conf) << "orb.base.tree-name=ACME\r\n"
                        << "Arbor.Directory.Store=  /srv/dir.db\r\n"
                        << "other=1\n";
    setenv("ARBOR_CONF", conf.c_str(), 1);
    setenv("ARBOR_DIRECTORY", "/tmp/env.db", 1);
    char buf[256];
    ASSERT_EQ(PDKGetStorePath(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "/tmp/env.db");
    unsetenv("ARBOR_DIRECTORY");
    ASSERT_EQ(PDKGetStorePath(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "/srv/dir.db");
    EXPECT_EQ(PDKGetStorePath(buf, 4), DDCERR_INSUFFICIENT_BUFFER);
    setenv("ARBOR_CONF", (tmp / "missing.conf").c_str(), 1);
    ASSERT_EQ(PDKGetStorePath(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "/var/lib/arbor/directory.db");
    unsetenv("ARBOR_CONF");
}

class Store : public DirTest {
  protected:
    // Starts body in a child process on a maintenance login of its own; the
    // child exits 0 when body gives 0, 2 when it could not log in.
    static pid_t Spawn(const std::function<int(DDCContextHandle)>& body) {
        const pid_t pid = fork();
        if (pid == 0) {
            DDCContextHandle c;
            if (DDCCreateContext(1, &c) || PDKLoginMaintenance(c)) _exit(2);
            _exit(body(c) == 0 ? 0 : 1);
        }
        return pid;
    }
    // The exit status of a spawned child, -1 when it did not exit.
    static int Reap(pid_t pid) {
        int status = 0;
        if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
        return WEXITSTATUS(status);
    }
};

TEST_F(Store, UnreachableStoreAnswersNoReferralsUntilItAppears) {
    const std::string later = (dir / "later.db").string();
    setenv("ARBOR_DIRECTORY", later.c_str(), 1);
    DDCContextHandle c = Context(); // contexts are made without the store
    ASSERT_EQ(DDCSetContextBaseDN(c, "ACME", DDCSlashDelims), 0);
    EXPECT_EQ(DDCResolveName(c, DDC_RESOLVE_WRITE, "Internet Services"), DDCERR_NO_REFERRALS);
    EXPECT_EQ(PDKLoginMaintenance(c), DDCERR_NO_REFERRALS);
    EXPECT_FALSE(std::filesystem::exists(later)); // nothing created by a look-up
    // An empty file is a store not made yet; a directory is no store.
    std::ofstream(later).close();
    EXPECT_EQ(DDCResolveName(c, DDC_RESOLVE_WRITE, "Internet Services"), DDCERR_NO_REFERRALS);
    EXPECT_EQ(std::filesystem::file_size(later), 0u);
    unlink(later.c_str());
    std::filesystem::create_directory(later);
    EXPECT_EQ(DDCResolveName(c, DDC_RESOLVE_WRITE, "Internet Services"), DDCERR_NO_REFERRALS);
    std::filesystem::remove(later);
    // Once it exists, the same context reaches it.
    ASSERT_EQ(PDKCreateStore(later.c_str()), 0);
    EXPECT_EQ(PDKCreateStore(later.c_str()), DDCERR_ENTRY_ALREADY_EXISTS);
    EXPECT_EQ(DDCResolveName(c, DDC_RESOLVE_WRITE, "Internet Services"), DDCERR_NO_SUCH_ENTRY);
    EXPECT_EQ(DDCResolveName(c, DDC_RESOLVE_WRITE, "\\"), 0);
}

TEST_F(Store, DamagedOrForeignStoresAreReportedAndLeftAlone) {
    const std::string bad = (dir / "bad.db").string();
    std::string garbage(8192, '\0');
    for (size_t i = 0; i < garbage.size(); ++i)
        garbage[i] = static_cast<char>(i * 7 + 3);
    std::ofstream(bad, std::ios::binary) << garbage;
    setenv("ARBOR_DIRECTORY", bad.c_str(), 1);
    DDCContextHandle c = Context();
    EXPECT_EQ(DDCResolveName(c, DDC_RESOLVE_WRITE, "\\ACME"), DDCERR_DATABASE_FORMAT);
    EXPECT_EQ(PDKLoginMaintenance(c), DDCERR_DATABASE_FORMAT);
    EXPECT_EQ(ReadFile(bad), garbage);
    // Some other SQLite database.
    const std::string other = (dir / "other.db").string();
    {
        sqlite3* db;
        ASSERT_EQ(sqlite3_open(other.c_str(), &db), SQLITE_OK);
        sqlite3_exec(db, "CREATE TABLE t(x)", nullptr, nullptr, nullptr);
        sqlite3_close(db);
    }
    setenv("ARBOR_DIRECTORY", other.c_str(), 1);
    DDCContextHandle o = Context();
    EXPECT_EQ(DDCResolveName(o, DDC_RESOLVE_WRITE, "\\ACME"), DDCERR_DATABASE_FORMAT);
    // A truncated copy of a real store.
    const std::string cut = (dir / "cut.db").string();
    DDCFreeContext(admin); // checkpoint and close, so the main file is complete
    owned.erase(owned.begin());
    const std::string whole = ReadFile(store);
    ASSERT_GT(whole.size(), 4096u);
    std::ofstream(cut, std::ios::binary) << whole.substr(0, 100);
    setenv("ARBOR_DIRECTORY", cut.c_str(), 1);
    DDCContextHandle t = Context();
    const int rc = DDCResolveName(t, DDC_RESOLVE_WRITE, "\\ACME");
    EXPECT_TRUE(rc == DDCERR_DATABASE_FORMAT || rc == DDCERR_NO_REFERRALS) << rc;
}

// Two processes add objects and values to the same store at once; every
// change of both must be there afterwards.
TEST_F(Store, TwoProcessesWriteAtOnce) {
    constexpr int kPerChild = 40;
    pid_t kids[2];
    for (int k = 0; k < 2; ++k) {
        kids[k] = Spawn([k](DDCContextHandle c) {
            int bad = 0;
            for (int i = 0; i < kPerChild; ++i) {
                const std::string name =
                    "\\ACME\\org\\sales\\p" + std::to_string(k) + "-" + std::to_string(i);
                bad += Create(c, name, "User") != 0;
                bad += Modify(c, "\\ACME\\org",
                              Entries().Add(DDC_OP_ADD_VALUE, "Telephone Number", name)) != 0;
            }
            return bad;
        });
    }
    for (pid_t pid : kids)
        EXPECT_EQ(Reap(pid), 0);
    EXPECT_EQ(Values("\\ACME\\org", "Telephone Number").size(), 2u * kPerChild);
    EXPECT_EQ(List(admin, "\\ACME\\org\\sales").size(), 2u * kPerChild);
}

// Reads may be answered from memory; a change made by another process must
// still show at once, also a removed object recreated under its old name.
TEST_F(Store, ReadsSeeChangesOfOtherProcesses) {
    const std::string u = "\\ACME\\org\\sales\\Dora";
    ASSERT_EQ(Create(admin, u, "User", Entries().Add(0, "Surname", "Old")), 0);
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(Values(u, "Surname"), Strings{round ? "Again" : "Old"});
        const pid_t pid = Spawn([&](DDCContextHandle c) {
            if (round == 0)
                return Modify(c, u, Entries().clear("Surname").Add(2, "Surname", "New"));
            return (DDCRemoveEntry(c, u.c_str()) != 0) +
                   (Create(c, u, "User", Entries().Add(0, "Surname", "Reborn")) != 0);
        });
        ASSERT_EQ(Reap(pid), 0);
        EXPECT_EQ(Values(u, "Surname"), Strings{round ? "Reborn" : "New"});
        if (round == 0) {
            ASSERT_EQ(Modify(admin, u, Entries().clear("Surname").Add(2, "Surname", "Again")), 0);
        }
    }
}

// The change counter belongs to the store file, whatever path reached it.
TEST_F(Store, ReadsThroughALinkSeeChangesMadeThroughTheRealPath) {
    const std::string link = (dir / "link.db").string();
    const std::string dotted = (dir / "." / "directory.db").string();
    ASSERT_EQ(symlink(store.c_str(), link.c_str()), 0);
    const std::string obj = "\\ACME\\org\\sales";
    ASSERT_EQ(Modify(admin, obj, Entries().Add(DDC_OP_WRITE_VALUE, "Description", "one")), 0);
    std::vector<DDCContextHandle> others;
    for (const std::string& p : {link, dotted}) {
        setenv("ARBOR_DIRECTORY", p.c_str(), 1);
        DDCContextHandle c = Context();
        ASSERT_EQ(PDKLoginMaintenance(c), 0);
        std::vector<std::string> out;
        ASSERT_EQ(Read(c, obj, "Description", out), 0);
        EXPECT_EQ(out, Strings{"one"});
        others.push_back(c);
    }
    setenv("ARBOR_DIRECTORY", store.c_str(), 1);
    ASSERT_EQ(Modify(admin, obj, Entries().clear("Description").Add(2, "Description", "two")), 0);
    for (DDCContextHandle c : others) {
        std::vector<std::string> out;
        ASSERT_EQ(Read(c, obj, "Description", out), 0);
        EXPECT_EQ(out, Strings{"two"});
    }
    // And the other way round.
    ASSERT_EQ(Modify(others[0], obj, Entries().clear("Description").Add(2, "Description", "3")), 0);
    EXPECT_EQ(Values(obj, "Description"), Strings{"3"});
    EXPECT_FALSE(std::filesystem::exists(link + "-gen"));
}

TEST_F(Store, ThreadsReadThroughTheirOwnContexts) {
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(Create(admin, "\\ACME\\org\\sales\\t" + std::to_string(i), "User",
                         Entries().Add(0, "Surname", "S" + std::to_string(i))),
                  0);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            DDCContextHandle c;
            if (DDCDuplicateContext(admin, &c) != 0) {
                ++wrong;
                return;
            }
            DDCSetContextBaseDN(c, "\\ACME\\org\\sales", DDCSlashDelims);
            for (int i = 0; i < 200; ++i) {
                const int k = (i + t) % 20;
                std::vector<std::string> v;
                if (Read(c, "t" + std::to_string(k), "Surname", v) != 0 ||
                    v != Strings{"S" + std::to_string(k)})
                    ++wrong;
            }
            DDCFreeContext(c);
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(Raw, PutStringStaysInsideItsLimit) {
    alignas(4) char buf[32];
    std::memset(buf, 0x55, sizeof buf);
    char* cur = buf;
    ASSERT_EQ(DDCWPutString(&cur, buf + sizeof buf, "abc"), 0);
    EXPECT_EQ(cur - buf, 12); // length word, 4 units, padded to 4
    uint32_t len;
    std::memcpy(&len, buf, 4);
    EXPECT_EQ(len, 8u);
    char* before = cur;
    EXPECT_EQ(DDCWPutString(&cur, buf + sizeof buf, "0123456789"), DDCERR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(cur, before);
    EXPECT_EQ(static_cast<unsigned char>(buf[12]), 0x55); // nothing written
    EXPECT_EQ(DDCWPutString(&cur, buf + sizeof buf, "\xff"), DDCERR_NO_CHARACTER_MAPPING);
}

TEST_F(Store, ExtensionRequestsAndMalformedRawRequests) {
    // Extension information, request laid out as the callers build it.
    const std::string name = DDC_EXT_ECHO_NAME;
    std::vector<unsigned char> req = {0, static_cast<unsigned char>(name.size()), 2,
                                      static_cast<unsigned char>(name.size())};
    req.insert(req.end(), name.begin(), name.end());
    req.push_back(0);
    unsigned char reply[600];
    size_t replyLen = 0;
    ASSERT_EQ(DDCTWPRequest(admin, 36, name.size() + 2, req.data(), 296, reply, &replyLen), 0);
    uint32_t number;
    std::memcpy(&number, reply, 4);
    EXPECT_EQ(number, static_cast<uint32_t>(DDC_EXT_ECHO));
    req[4] = 'X';
    EXPECT_EQ(DDCTWPRequest(admin, 36, name.size() + 2, req.data(), 296, reply, &replyLen),
              DDCERR_NO_SUCH_ENTRY);
    // A name length beyond the request is refused, not read.
    req[3] = 200;
    EXPECT_EQ(DDCTWPRequest(admin, 36, name.size() + 2, req.data(), 296, reply, &replyLen),
              DDCERR_ILLEGAL_REQUEST);

    // Extension request: echo, cut to the caller's reply length.
    const std::string data = "hello, directory";
    std::vector<unsigned char> r2(10);
    const uint16_t total = static_cast<uint16_t>(data.size() + 6);
    r2[0] = static_cast<unsigned char>(total >> 8);
    r2[1] = static_cast<unsigned char>(total);
    const uint32_t ext = DDC_EXT_ECHO;
    std::memcpy(&r2[4], &ext, 4);
    const uint16_t want = 5;
    std::memcpy(&r2[8], &want, 2);
    r2.insert(r2.end(), data.begin(), data.end());
    ASSERT_EQ(DDCTWPRequest(admin, 37, data.size() + 8, r2.data(), 530, reply, &replyLen), 0);
    uint16_t got;
    std::memcpy(&got, reply + 4, 2);
    EXPECT_EQ(got, 5);
    EXPECT_EQ(replyLen, 11u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(reply + 6), got), "hello");
    EXPECT_EQ(DDCTWPRequest(admin, 37, data.size() + 8, r2.data(), 4, reply, &replyLen),
              DDCERR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(DDCTWPRequest(admin, 37, 3, r2.data(), 530, reply, &replyLen),
              DDCERR_ILLEGAL_REQUEST);
    EXPECT_EQ(DDCTWPRequest(admin, 99, 3, r2.data(), 530, reply, &replyLen),
              DDCERR_ILLEGAL_REQUEST);

    // Schema removal requests with bad lengths.
    alignas(4) unsigned char r3[64] = {};
    uint32_t bytes = 1000;
    std::memcpy(r3 + 4, &bytes, 4);
    EXPECT_EQ(DDCRequest(admin, 13, sizeof r3, r3, 512, r3, nullptr), DDCERR_ILLEGAL_REQUEST);
    bytes = 6; // units without their terminating zero
    std::memcpy(r3 + 4, &bytes, 4);
    r3[8] = 'a', r3[10] = 'b', r3[12] = 'c';
    EXPECT_EQ(DDCRequest(admin, 13, 14, r3, 512, r3, nullptr), DDCERR_ILLEGAL_REQUEST);
    EXPECT_EQ(DDCRequest(admin, 12, 14, r3, 512, r3, nullptr), DDCERR_ILLEGAL_REQUEST);
}

TEST(Header, CompilesAsC) {
    EXPECT_EQ(pdksa_c_header_check(), 0);
}

} // namespace

namespace {

// Random input of every shape: only result codes come back, and nothing in
// the tree changes except by calls that report success.
TEST_F(Store, RandomInputGivesResultCodesOnly) {
    uint64_t seed = 0x9E3779B97F4A7C15ull;
    auto next = [&] {
        seed ^= seed << 13, seed ^= seed >> 7, seed ^= seed << 17;
        return seed;
    };
    const char alphabet[] = "\\.=+*'aZ\xC3\xA9\xE2\x82\xAC\xFF\x80 CNOU";
    const DDCContextHandle u = Copy(admin);
    ASSERT_EQ(DDCSetContextFlags(u, DDC_CTX_UNICODE, 0), 0);
    int accepted = 0;
    for (int round = 0; round < 3000; ++round) {
        std::string s;
        const size_t len = next() % 40;
        for (size_t i = 0; i < len; ++i)
            s.push_back(alphabet[next() % (sizeof alphabet - 1)]);
        std::u16string w;
        for (size_t i = 0; i < len; ++i)
            w.push_back(static_cast<char16_t>(next() % 3 ? 0x41 + next() % 60 : next()));
        const int kinds[] = {
            DDCResolveName(admin, DDC_RESOLVE_FOR_READ, s.c_str()),
            DDCResolveName(u, DDC_RESOLVE_FOR_READ, w.c_str()),
            DDCSetContextBaseDN(u, s.c_str(), next() % 2 ? DDCSlashDelims : DDCDotDelims),
            Create(admin, "\\ACME\\org\\sales\\" + s, "User"),
            DDCModifyRDN(admin, s.c_str(), w.empty() ? "x" : s.c_str(), 1),
        };
        for (int rc : kinds) {
            EXPECT_LE(rc, 0);
            accepted += rc == 0;
        }
        alignas(8) unsigned char req[64];
        for (auto& b : req)
            b = static_cast<unsigned char>(next());
        unsigned char reply[600];
        size_t replyLen = 0;
        EXPECT_LE(
            DDCTWPRequest(admin, 36 + next() % 2, next() % 62, req, sizeof reply, reply, &replyLen),
            0);
        EXPECT_LE(DDCRequest(admin, 13, next() % 64, req, sizeof reply, reply, &replyLen), 0);
    }
    EXPECT_GT(accepted, 0);
    // The tree is still whole and usable.
    EXPECT_EQ(DDCResolveName(admin, DDC_RESOLVE_FOR_READ, "\\ACME\\org\\sales"), 0);
    EXPECT_EQ(Create(admin, "\\ACME\\org\\sales\\after", "User"), 0);
}

} // namespace
