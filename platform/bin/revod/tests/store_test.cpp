// The store's group commit: changes from many threads share commits, each
// is committed or undone on its own, and every acknowledged one is in the
// file when the call returns.
#include "test_util.h"

#include <gtest/gtest.h>

#include <set>

using namespace revotest;

namespace {

revo::CalEntry Meeting() {
    revo::CalEntry e;
    e.uid = "m1@x.org";
    e.organizer = "bob@x.org";
    e.summary = "Planning";
    e.start = 1700000000;
    e.end = 1700003600;
    e.attendees = {{"alice@x.org", 'N'}, {"carol@x.org", 'N'}};
    return e;
}

std::unique_ptr<revo::Store> OpenStore(const std::string& path) {
    std::string err;
    auto s = revo::Store::Open(path, revo::Store::Sync::Durable, err);
    EXPECT_TRUE(s) << err;
    return s;
}

// Each thread mixes changes that succeed with ones the store refuses; the
// refusals share transactions with the others and must not take them down.
void MixedChanges(revo::Store& store, int64_t entry, int thread, int rounds,
                  std::vector<int64_t>& ids) {
    const std::string who = thread % 2 ? "alice@x.org" : "carol@x.org";
    for (int i = 0; i < rounds; ++i) {
        const int64_t id =
            store.Submit({"Fa@x.org", "Lbob@x.org bob@x.org 0"}, "Subject: " + std::to_string(i));
        EXPECT_GT(id, 0);
        ids.push_back(id);
        EXPECT_EQ(revo::Store::Attend::NotAttendee,
                  store.CalSetStatus("bob@x.org", entry, "mallory@x.org", 'A'));
        EXPECT_EQ(revo::Store::Complete::NotAllCompleted,
                  store.CalComplete("bob@x.org", entry, 1700000000 + i));
        EXPECT_EQ(revo::Store::Attend::Done,
                  store.CalSetStatus("bob@x.org", entry, who, i % 2 ? 'T' : 'A'));
        EXPECT_TRUE(store.SetAttempts(id, thread));
    }
}

TEST(RevodStore, ConcurrentChangesAreCommittedEachOnItsOwn) {
    const TempDir dir("revod-test");
    const std::string path = dir / "store.db";
    constexpr int kThreads = 8, kRounds = 40;
    std::vector<std::vector<int64_t>> ids(kThreads);
    int64_t entry = 0;
    {
        auto store = OpenStore(path);
        ASSERT_TRUE(store);
        entry = store->CalPut("bob@x.org", Meeting());
        ASSERT_GT(entry, 0);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&, t] { MixedChanges(*store, entry, t, kRounds, ids[t]); });
        for (auto& t : threads)
            t.join();
    }
    // What every call acknowledged is in the file, once and with its own values.
    auto store = OpenStore(path);
    ASSERT_TRUE(store);
    std::map<int64_t, int> attempts;
    for (const auto& q : store->Queued())
        attempts[q.id] = q.attempts;
    ASSERT_EQ(size_t(kThreads * kRounds), attempts.size());
    for (int t = 0; t < kThreads; ++t)
        for (int64_t id : ids[t])
            EXPECT_EQ(t, attempts[id]) << "entry " << id;
    const auto cal = store->CalList("bob@x.org");
    ASSERT_EQ(1u, cal.size());
    EXPECT_EQ(0, cal[0].completed);
    ASSERT_EQ(2u, cal[0].attendees.size()); // the refused attendee was never added
    for (const auto& a : cal[0].attendees)
        EXPECT_EQ('T', a.status) << a.address; // each thread's last round set T
}

// A change the store refuses inside a group leaves nothing behind, while the
// delivery committed with it stands.
TEST(RevodStore, RefusedChangeBesideDeliveryLeavesNoTrace) {
    const TempDir dir("revod-test");
    auto store = OpenStore(dir / "store.db");
    ASSERT_TRUE(store);
    const int64_t entry = store->CalPut("bob@x.org", Meeting());
    const int64_t id = store->Submit({"Fa@x.org", "Lbob@x.org bob@x.org 0"}, "Subject: x");
    std::thread refuse([&] {
        for (int i = 0; i < 50; ++i)
            EXPECT_FALSE(store->CalDelete("carol@x.org", entry, std::nullopt)); // not carol's
    });
    const revo::ControlLines lines = {"Fa@x.org", "Lcarol@x.org carol@x.org 0"};
    EXPECT_TRUE(store->PassAndDeliver(id, &lines));
    refuse.join();
    EXPECT_EQ(1u, store->CalList("bob@x.org").size());
    ASSERT_EQ(1u, store->Mailbox("carol@x.org").size());
    EXPECT_TRUE(store->Mailbox("bob@x.org").empty());
    EXPECT_TRUE(store->Queued().empty());
}

// --sync names the two modes; the names of earlier versions still work.
TEST(RevodStore, SyncOptionTakesItsModesOnly) {
    const TempDir dir("revod-test");
    const std::string revod = arbortest::Program("platform/bin/revod/revod");
    for (const char* mode : {"maybe", ""}) {
        std::string out;
        EXPECT_EQ(2, arbortest::Run(revod + " --no-auth --store " + (dir / "s.db").string() +
                                        " --sync '" + mode + "' 2>&1",
                                    &out))
            << mode;
        EXPECT_NE(std::string::npos, out.find("durable or no-fsync")) << out;
    }
}

} // namespace
