// The writer: envelope, method and kind lines, attendees, escaping and
// folding of the summary.
#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <string>

#include "helpers.h"
#include "msgsrv.h"

namespace {

std::string Write(const ICalObject* o) {
    char* data = nullptr;
    size_t size = 0;
    FILE* f = open_memstream(&data, &size);
    EXPECT_EQ(ICalWriteObject(o, f), 1);
    std::fclose(f);
    std::string s(data, size);
    std::free(data);
    return s;
}

std::string Escape(const char* text, size_t size, int width = 60) {
    std::string buf(size, '\x7f');
    const size_t need = ICalEscapeText(text, size ? buf.data() : nullptr, size, width);
    if (size == 0) return std::to_string(need);
    EXPECT_LT(buf.find('\0'), size); // always terminated inside the buffer
    return buf.substr(0, buf.find('\0'));
}

TEST(Writer, ReplyWithOrganizerAttendeesAndStamp) {
    Object o = Parse("METHOD:REPLY\r\n" +
                     Calendar({"ORGANIZER;CN=Boss:mailto:boss@x", "UID:u-1", "SEQUENCE:7",
                               "SUMMARY:Lunch", "ATTENDEE;PARTSTAT=DECLINED;RSVP=TRUE:mailto:a@x",
                               "ATTENDEE;CN=Bee;ROLE=OPT-PARTICIPANT;CUTYPE=GROUP:b@x",
                               "LOCATION:not written", "DTSTART:19990101T000000Z"}));
    const std::time_t before = std::time(nullptr);
    const std::string text = Write(o.get());
    const std::string expected_head =
        "BEGIN:VCALENDAR\r\nPRODID:-//Ostara Inc//Quill Lattice//\r\nVERSION:2.0\r\n"
        "METHOD:REPLY\r\nBEGIN:VEVENT\r\nORGANIZER;CN=\"Boss\":mailto:boss@x\r\n"
        "ATTENDEE;CN=\"a@x\";ROLE=\"CHAIR\";\r\n PARTSTAT=\"DECLINED\";RSVP=\"TRUE\";"
        "CUTYPE=\"INDIVIDUAL\":MAILTO:a@x\r\n"
        "ATTENDEE;CN=\"Bee\";ROLE=\"OPT-PARTICIPANT\";\r\n PARTSTAT=\"NEEDS-ACTION\";"
        "RSVP=\"FALSE\";CUTYPE=\"GROUP\":MAILTO:b@x\r\n"
        "SEQUENCE:7\r\nUID:u-1\r\nSUMMARY:Lunch\r\nDTSTAMP:";
    ASSERT_EQ(text.substr(0, expected_head.size()), expected_head);
    const std::string rest = text.substr(expected_head.size());
    ASSERT_EQ(rest.size(), 16u + 2 + 12 + 15);
    EXPECT_EQ(rest.substr(16), "\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n");
    int y, mo, d, h, mi, s;
    ASSERT_EQ(std::sscanf(rest.c_str(), "%4d%2d%2dT%2d%2d%2dZ", &y, &mo, &d, &h, &mi, &s), 6);
    const std::time_t stamp = DTGetUTC(d, mo, y, h, mi, s);
    EXPECT_GE(stamp, before);
    EXPECT_LE(stamp, std::time(nullptr));
    // Reading it back gives the same participants.
    Object back = Parse(text);
    ASSERT_TRUE(back && back->Attendees && back->Attendees->Next);
    EXPECT_EQ(back->Method, ICAL_METHOD_REPLY);
    EXPECT_EQ(back->Attendees->PartStat, ICAL_PARTSTAT_DECLINED);
    EXPECT_STREQ(back->Attendees->Next->CN, "Bee");
    EXPECT_EQ(back->Sequence, 7u);
}

TEST(Writer, CancelWithoutKindAndNullTexts) {
    ICalObject o{};
    o.Method = ICAL_METHOD_CANCEL;
    o.Kind = 9;
    const std::string text = Write(&o);
    EXPECT_EQ(text.find("METHOD"), std::string::npos);
    EXPECT_EQ(text.find("BEGIN:V", 1), std::string::npos);
    EXPECT_NE(text.find("\r\nSEQUENCE:0\r\nUID:\r\nSUMMARY:\r\nDTSTAMP:"), std::string::npos);
    o.Method = ICAL_METHOD_REQUEST;
    o.Kind = ICAL_KIND_TODO;
    const std::string todo = Write(&o);
    EXPECT_NE(todo.find("METHOD:REQUEST\r\nBEGIN:VTODO\r\n"), std::string::npos);
    EXPECT_NE(todo.find("END:VTODO\r\nEND:VCALENDAR\r\n"), std::string::npos);
}

TEST(Escaping, FoldsAfterSixtyThenSixtyOneCharacters) {
    const std::string text(130, 'a');
    ICalObject o{};
    o.Summary = const_cast<char*>(text.c_str());
    o.UID = const_cast<char*>("u");
    const std::string out = Write(&o);
    const std::string expected = "SUMMARY:" + std::string(60, 'a') + "\r\n " +
                                 std::string(61, 'a') + "\r\n " + std::string(9, 'a') + "\r\n";
    EXPECT_NE(out.find(expected), std::string::npos);
}

TEST(Escaping, SpecialCharacters) {
    EXPECT_EQ(Escape("a;b:c\n", 100), "a\\;b\\:c\\N");
    EXPECT_EQ(Escape("back\\slash, comma", 100), "back\\slash, comma");
    EXPECT_EQ(Escape("abcdef", 100, 2), "ab\r\n cde\r\n f"); // 2, then 3 a line
    EXPECT_EQ(Escape(nullptr, 10), "");
}

TEST(Escaping, CutsAtCharacterBoundariesAndReportsLength) {
    EXPECT_EQ(Escape("abc;", 0), "5");
    EXPECT_EQ(Escape("abc;", 5), "abc"); // the escape is not split
    EXPECT_EQ(Escape("ab\xC3\xA9z", 4), "ab");
    EXPECT_EQ(Escape("ab\xC3\xA9z", 5), "ab\xC3\xA9");
    EXPECT_EQ(Escape("abcdef", 6, 2), "ab"); // the fold and its character go together
}

TEST(Escaping, LongSummaryIsWrittenWhole) {
    std::string text;
    for (int i = 0; i < 600; ++i)
        text += ";:";
    ICalObject o{};
    o.Summary = text.data();
    const std::string out = Write(&o);
    const size_t at = out.find("SUMMARY:") + 8;
    const std::string summary = out.substr(at, out.find("\r\nDTSTAMP") - at);
    std::string unfolded;
    for (size_t i = 0; i < summary.size(); ++i) {
        if (summary.compare(i, 3, "\r\n ") == 0) {
            i += 2;
            continue;
        }
        unfolded += summary[i];
    }
    std::string expected;
    for (int i = 0; i < 600; ++i)
        expected += "\\;\\:";
    EXPECT_EQ(unfolded, expected);
}

} // namespace
