// Program mode (the kdx executable) and start-up failures, each in a process
// of its own.
#include "kdx.h"
#include "process.h"
#include "testtree.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace {

std::string KdxProgram() {
    return arbortest::Program("kdx/kdx");
}

using arbortest::ReadFile;

class Program : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        tree_ = std::make_unique<kdxtest::TestTree>();
        ASSERT_EQ(tree_->Build(), 0);
    }
    static void TearDownTestSuite() { tree_.reset(); }
    // Runs the program against the tree with the given configuration file.
    int Run(const std::string& args, std::string& out, const std::string& conf = "",
            const std::string& store = "") {
        std::string cmd = "ARBOR_CONF='" + (conf.empty() ? tree_->conf : conf) +
                          "' ARBOR_DIRECTORY='" + (store.empty() ? tree_->store : store) + "' " +
                          KdxProgram() + " " + args + " 2>/dev/null";
        return arbortest::Run(cmd, &out);
    }
    static inline std::unique_ptr<kdxtest::TestTree> tree_;
};

const char* kFailure = "\r\n\nVelmora Directory Database API\n"
                       "\r  Directory authentication failed. Possible reasons:\n"
                       "\r  - The Internet Services object has been removed\n"
                       "\r  - The directory schema has not (yet) been extended\n"
                       "\r  - The directory schema is extended, but the information has not been\n"
                       "    replicated to this server yet.\n"
                       "\r  - The Internet Services object has been modified\n\n";

TEST_F(Program, LogsInSilentlyAndReportsCacheStatisticsWithDebug) {
    std::string out;
    EXPECT_EQ(Run("", out), 0);
    EXPECT_EQ(out, "");
    EXPECT_EQ(Run("-D -T:ACME -s:\\\\ACME\\\\org\\\\sales\\\\MAIL1 '-u:Internet Services'", out),
              0);
    EXPECT_EQ(out, "\r\nKDX: Debugging turned on\n"
                   "\r\nKDX: Using tree ACME\n"
                   "\r\nKDX: Using server DN \\ACME\\org\\sales\\MAIL1\n"
                   "Login as user Internet Services\n"
                   "Using tree: ACME\n"
                   "\rKDX Cache statistics:\nElements retrieved from cache : 0\n"
                   "Elements added to cache       : 0\n"
                   "Elements destroyed            : 0\nElements released into cache  : 0\n")
        << out;
}

TEST_F(Program, VersionAndUsageEndStartUpWhereTheyStand) {
    std::string out;
    EXPECT_EQ(Run("-t:OTHER -v -d", out), 0);
    EXPECT_EQ(out, "\r\nKDX: Using tree OTHER\n"
                   "\r\n\n\nVelmora Directory Database API [$Revision:   2.53  $]\n"
                   "\r\n  API Version: 001       [compatible with version 001]\n");
    EXPECT_EQ(Run("-?", out), 0);
    EXPECT_EQ(
        out.rfind("\r\nVelmora Directory Database API usage:\n"
                  "\rKDX [-t:<tree>] [-s:<dn>] [-d] [-u:<user> -p:<password>] [-v] [-h | -?]\n",
                  0),
        0u);
    EXPECT_NE(out.find("\r                server tree; default:ACME\n"), std::string::npos);
    EXPECT_NE(out.find("\r-? | -h       - This help screen\n\n"), std::string::npos);
    EXPECT_EQ(Run("-H", out), 0);
    EXPECT_NE(out.find("usage:"), std::string::npos);
}

TEST_F(Program, WrongPasswordPrintsTheFailureText) {
    std::string out;
    EXPECT_EQ(Run("-p:wrong", out), 1);
    EXPECT_EQ(out, std::string(kFailure) +
                       "\r  - [Tree:ACME, ServerDN:\\ACME\\org\\sales\\MAIL1]\n"
                       "\nPlease contact technical support or re-install the product\n");
    // The replica name stays the file's server DN; the message shows the override.
    EXPECT_EQ(Run("-s:\\\\X\\\\Y -p:wrong", out), 1);
    EXPECT_NE(out.find("[Tree:ACME, ServerDN:\\X\\Y]"), std::string::npos);
}

TEST_F(Program, BadConfigurationAndOverlongOptions) {
    std::string conf = (tree_->dir / "two-keys.conf").string();
    std::ofstream(conf) << "orb.base.tree-name=ACME\norb.arbor.server-name=MAIL1\n";
    std::string out;
    EXPECT_EQ(Run("", out, conf), 1);
    EXPECT_NE(out.find("[Tree:, ServerDN:]"), std::string::npos) << out;
    // With the tree given on the command line the login still works.
    EXPECT_EQ(Run("-t:ACME", out, conf), 0);

    EXPECT_EQ(Run("-u:" + std::string(300, 'u'), out), 1);
    EXPECT_NE(out.find("too long"), std::string::npos);
    EXPECT_EQ(Run("-p:" + std::string(64, 'p'), out), 1);
    EXPECT_EQ(Run("-p:" + std::string(63, 'p'), out), 1); // fits, but is wrong
    EXPECT_NE(out.find("Directory authentication failed"), std::string::npos);
}

TEST_F(Program, CorruptStoreFailsAndIsLeftAsItWas) {
    std::string bad = (tree_->dir / "corrupt.db").string();
    std::string junk(8192, '\x5A');
    std::ofstream(bad, std::ios::binary) << "not a database at all" << junk;
    std::string before = ReadFile(bad);
    std::string out;
    EXPECT_EQ(Run("", out, "", bad), 1);
    EXPECT_NE(out.find("Directory authentication failed"), std::string::npos);
    EXPECT_EQ(ReadFile(bad), before);
}

// The store is not there (or not a store) when the login starts: the login
// keeps trying, once a second, until it appears.
void RetryUntilStoreAppears(kdxtest::TestTree& tree, bool asDirectory) {
    // Built in a folder of its own, then moved into place whole (with its journal).
    const kdxtest::TestTree ready;
    ASSERT_EQ(ready.Build(), 0);
    fs::path target = tree.dir / (asDirectory ? "late-dir" : "late");
    fs::path store = target / "directory.db";
    if (asDirectory) fs::create_directories(store); // in the way, and no store
    std::string cmd = "ARBOR_CONF='" + tree.conf + "' ARBOR_DIRECTORY='" + store.string() + "' " +
                      KdxProgram() + " -d";
    auto child = std::async(std::launch::async, [cmd] {
        std::string out;
        int rc = arbortest::Run(cmd, &out);
        return std::make_pair(rc, out);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    if (asDirectory) fs::remove_all(target);
    fs::rename(ready.dir, target);
    auto [rc, out] = child.get();
    EXPECT_EQ(rc, 0) << out;
    EXPECT_NE(out.find("KDX Cache statistics"), std::string::npos) << out;
}

TEST_F(Program, LoginWaitsForAMissingStore) {
    RetryUntilStoreAppears(*tree_, false);
}
TEST_F(Program, LoginWaitsForAnUnreadableStore) {
    RetryUntilStoreAppears(*tree_, true);
}

// SIGTERM while the login waits for a missing store ends the program: the
// handler runs on the very thread that waits.
TEST_F(Program, SigtermDuringTheLoginRetryEndsTheProgram) {
    const std::string missing = (tree_->dir / "nowhere" / "directory.db").string();
    arbortest::Process kdx;
    ASSERT_TRUE(kdx.Start(KdxProgram(), {},
                          {{"ARBOR_CONF", tree_->conf}, {"ARBOR_DIRECTORY", missing}},
                          "/dev/null"));
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    kdx.Signal(SIGTERM);
    // The start-up gives up: the failure ends the program with status 1 (the
    // limit is far above any prompt ending; a hang is killed with the test).
    EXPECT_EQ(kdx.Wait(60000), 1);
}

// The same in library mode, shut down from another thread: KDXInit reports
// the failure and the shutdown completes.
TEST_F(Program, ShutdownFromAnotherThreadEndsALibraryStartUp) {
    GTEST_FLAG_SET(death_test_style, "fast");
    const std::string conf = tree_->conf;
    const std::string missing = (tree_->dir / "nowhere2" / "directory.db").string();
    EXPECT_EXIT(
        {
            setenv("ARBOR_CONF", conf.c_str(), 1);
            setenv("ARBOR_DIRECTORY", missing.c_str(), 1);
            alarm(60); // a hang ends the child, and the test fails
            std::thread stopper([] {
                std::this_thread::sleep_for(std::chrono::milliseconds(1500));
                int down = KDXShutdown();
                std::fprintf(stderr, "down %d\n", down);
            });
            int init = KDXInit();
            stopper.join();
            std::fprintf(stderr, "init %d failed %d again %d\n", init, KDXFailed, KDXShutdown());
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "down 1\ninit 0 failed 1 again 0");
}

// Library mode that fails: KDXInit answers 0 from then on, and shutdown still completes.
TEST_F(Program, LibraryModeFailureIsFinal) {
    GTEST_FLAG_SET(death_test_style, "fast"); // no second copy of the suite set-up
    std::string conf = tree_->conf;
    std::string bad = (tree_->dir / "corrupt-lib.db").string();
    std::ofstream(bad, std::ios::binary) << std::string(4096, 'x');
    EXPECT_EXIT(
        {
            setenv("ARBOR_CONF", conf.c_str(), 1);
            setenv("ARBOR_DIRECTORY", bad.c_str(), 1); // readable, but not a store
            int first = KDXInit();
            int second = KDXInit();
            int down = KDXShutdown();
            int again = KDXShutdown();
            std::fprintf(stderr, "result %d %d %d %d %d\n", first, second, KDXFailed, down, again);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "result 0 0 1 1 0");
}

} // namespace
