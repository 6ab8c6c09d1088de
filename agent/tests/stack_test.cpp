// How deep a queue-connection thread goes: a whole REPLY entry (directory
// look-up, base64 decoding, parsing, a store session) runs on a painted stack,
// and the untouched part of it is measured afterwards.
#include "dayward.h"
#include "directory.h"
#include "peer.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

using namespace agenttest;

extern "C" int KDXInit(void);
extern "C" int KDXShutdown(void);
extern "C" int MSGSrvInit(void);

namespace {

constexpr size_t kPainted = 4 * 1024 * 1024;
constexpr unsigned char kPaint = 0xA5;

// Runs one HandleConnection on a painted stack; returns the bytes it used.
size_t DeepestUse(int agentFd) {
    void* stack =
        mmap(nullptr, kPainted, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (stack == MAP_FAILED) return 0;
    memset(stack, kPaint, kPainted);
    auto* rec = static_cast<REVOConnection*>(calloc(1, sizeof(REVOConnection)));
    rec->Socket = agentFd;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstack(&attr, stack, kPainted);
    pthread_t t;
    pthread_create(&t, &attr, HandleConnection, rec);
    pthread_join(t, nullptr);
    pthread_attr_destroy(&attr);
    // The stack grows down from the top: count the untouched bytes at the bottom.
    auto* p = static_cast<unsigned char*>(stack);
    size_t untouched = 0;
    while (untouched < kPainted && p[untouched] == kPaint)
        ++untouched;
    munmap(stack, kPainted);
    return kPainted - untouched;
}

TEST(ThreadStack, QueueThreadFitsWithAWideMargin) {
    TempDir tmp("dayward-test");
    const std::string dir = tmp.Str();
    ASSERT_TRUE(MakeDirectory(dir, "127.0.7.40", {{"bob", "bob@example.com"}}));
    for (const auto& [k, v] : DirectoryEnv(dir))
        setenv(k.c_str(), v.c_str(), 1);
    if (const char* p = getenv("REVO_PORT")) DaywardREVOPort = atoi(p);
    MSGSrvInit();
    KDXInit();
    DaywardReadConfiguration();

    FakeRevo revo("127.0.7.40", RevoPort());
    ASSERT_TRUE(revo.Listening());
    revo.AddEntry("deep@test", {9, "bob@example.com"});

    // A listener of our own stands in for the agent's.
    int port = 0;
    const int l = arbortest::ListenTcp("127.0.7.1", 0, &port);
    ASSERT_GE(l, 0);

    std::string cal = "BEGIN:VCALENDAR\r\nMETHOD:REPLY\r\nBEGIN:VTIMEZONE\r\nTZID:Europe/Berlin\r\n"
                      "BEGIN:STANDARD\r\nDTSTART:19701025T030000\r\nRRULE:FREQ=YEARLY;BYMONTH=10;"
                      "BYDAY=-1SU\r\nTZOFFSETFROM:+0200\r\nTZOFFSETTO:+0100\r\nEND:STANDARD\r\n"
                      "END:VTIMEZONE\r\nBEGIN:VEVENT\r\nUID:deep@test\r\nSEQUENCE:0\r\n"
                      "DTSTART;TZID=Europe/Berlin:20261210T100000\r\nRRULE:FREQ=WEEKLY;BYDAY=MO,WE;"
                      "COUNT=40\r\nORGANIZER;CN=Bob:mailto:bob@example.com\r\n"
                      "ATTENDEE;PARTSTAT=COMPLETED;CN=\"Alice A\":mailto:alice@example.com\r\n"
                      "END:VEVENT\r\nEND:VCALENDAR\r\n";
    EntryResult r;
    std::thread server([&] {
        r = OfferEntry(port, "Qdeep", {"Falice@example.com", "Lbob@example.com 0"}, {"P0"},
                       {Part{"text", "calendar", "utf-8", "base64", "invite.ics",
                             arbortest::Base64Encode(cal)}});
    });
    int fd = accept(l, nullptr, nullptr);
    ASSERT_GE(fd, 0);
    size_t used = DeepestUse(fd);
    server.join();
    close(l);

    EXPECT_TRUE(r.done);
    EXPECT_EQ(r.qmod, (std::vector<std::string>{"Falice@example.com"})); // the reply was applied
    printf("queue thread: deepest stack use %zu bytes of %lu configured\n", used,
           DaywardThreadStack);
    EXPECT_GT(used, 0u);
    EXPECT_LT(used * 4, DaywardThreadStack);
    KDXShutdown();
}

} // namespace
