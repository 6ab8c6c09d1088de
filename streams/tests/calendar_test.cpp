// The text/calendar collector: gathers a part, parses it at the end of the
// stream and hands the object to the host's hook.
#include "harness.h"

#include <gtest/gtest.h>

#include "ical.h"

#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct HookCall {
    uintptr_t client;
    std::string type;
    std::string uid;
    std::string summary;
};
std::vector<HookCall> gCalls;

} // namespace

// This host's hook: record what arrives. The object is freed by the collector
// after the call.
extern "C" int LWCalendarHook(uintptr_t client, const char* type, ICalObject* object) {
    gCalls.push_back(
        {client, type, object->UID ? object->UID : "", object->Summary ? object->Summary : ""});
    return 0;
}

namespace {

const std::string kReply = "BEGIN:VCALENDAR\r\n"
                           "METHOD:REPLY\r\n"
                           "BEGIN:VEVENT\r\n"
                           "UID:abc-123@example.org\r\n"
                           "SUMMARY:Budget r\r\n"
                           " eview\r\n"
                           "END:VEVENT\r\n"
                           "END:VCALENDAR\r\n";

// Runs a chain that ends in the collector, piece by piece.
struct Collector {
    lwtest::StreamPtr head, collector;

    explicit Collector(const char* decoder) : collector(LWStreamCreate("text/calendar", 0)) {
        collector->Client = 0x5EED;
        if (decoder) {
            head.reset(LWStreamCreate(decoder, 0));
            head->Next = collector.get();
        }
    }
    ~Collector() { std::free(collector->Data); }

    void Feed(const std::string& in, size_t piece) {
        lwtest::FeedStream(head ? head.get() : collector.get(), in,
                           lwtest::Uniform(piece, in.size()));
    }
};

TEST(CalendarCollector, ParsesAtTheEndAndCallsTheHookOnce) {
    for (size_t piece : {1, 7, 1023}) {
        gCalls.clear();
        Collector c(nullptr);
        c.Feed(kReply, piece);
        ASSERT_EQ(gCalls.size(), 1u) << piece;
        EXPECT_EQ(gCalls[0].client, 0x5EEDu);
        EXPECT_EQ(gCalls[0].type, "text/calendar");
        EXPECT_EQ(gCalls[0].uid, "abc-123@example.org");
        EXPECT_EQ(gCalls[0].summary, "Budget review");
        // The collected text went with the object.
        EXPECT_EQ(c.collector->Data, nullptr);
    }
}

TEST(CalendarCollector, StartsEmptyWhenUsedAgainAfterAParse) {
    gCalls.clear();
    Collector c(nullptr);
    c.Feed(kReply, 100);
    ASSERT_EQ(gCalls.size(), 1u);
    EXPECT_EQ(c.collector->Data, nullptr);
    EXPECT_EQ(c.collector->Count, 0);
    // The host reuses the record for the next part.
    c.collector->EOS = 0;
    std::string second = kReply;
    second.replace(second.find("abc-123"), 7, "def-456");
    c.Feed(second, 5);
    ASSERT_EQ(gCalls.size(), 2u);
    EXPECT_EQ(gCalls[1].uid, "def-456@example.org");
    EXPECT_EQ(c.collector->Count, 0);
}

TEST(CalendarCollector, DecodesThroughATransferEncodingFirst) {
    gCalls.clear();
    std::string b64 = lwtest::RunCodec("BASE64", 1, kReply);
    Collector c("BASE64");
    c.Feed(b64, 10);
    ASSERT_EQ(gCalls.size(), 1u);
    EXPECT_EQ(gCalls[0].uid, "abc-123@example.org");
}

TEST(CalendarCollector, KeepsTheTextWhenNothingParses) {
    gCalls.clear();
    Collector c(nullptr);
    c.Feed("", 1);
    EXPECT_TRUE(gCalls.empty());
    // An empty part leaves an empty, terminated block for the host.
    ASSERT_NE(c.collector->Data, nullptr);
    EXPECT_EQ(c.collector->Count, 0);
    EXPECT_EQ(static_cast<char*>(c.collector->Data)[0], '\0');
}

} // namespace
