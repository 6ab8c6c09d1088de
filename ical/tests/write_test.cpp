// The writer: envelope, method and kind lines, attendees, escaping and
// folding of the summary.
#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

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
    // Backslash and comma take their text escapes too, so the value reads back
    // as written.
    EXPECT_EQ(Escape("back\\slash, comma", 100), "back\\\\slash\\, comma");
    // CR LF and a lone CR are line breaks; other controls are dropped.
    EXPECT_EQ(Escape("a\r\nb\rc\x01\td\x7f", 100), "a\\Nb\\Nc\td");
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

// Splits a written text into its physical lines; false when a CR or LF
// stands anywhere but in a CR LF pair.
bool Lines(const std::string& text, std::vector<std::string>& lines) {
    size_t at = 0;
    for (size_t crlf; (crlf = text.find("\r\n", at)) != std::string::npos; at = crlf + 2) {
        const std::string line = text.substr(at, crlf - at);
        if (line.find_first_of("\r\n") != std::string::npos) return false;
        lines.push_back(line);
    }
    return at == text.size();
}

TEST(Writer, ValuesCannotInjectLinesOrComponents) {
    const std::string evil = "Eve\nEND:VEVENT\nBEGIN:VTODO\r\nSUMMARY:owned\rX";
    ICalObject o{};
    o.Kind = ICAL_KIND_EVENT;
    o.Method = ICAL_METHOD_REPLY;
    ICalOrganizer org{const_cast<char*>("Boss\"\r\nATTENDEE:mailto:x@y"),
                      const_cast<char*>("boss@x\r\nBEGIN:VALARM")};
    o.Organizer = &org;
    ICalAttendee eve{};
    eve.CN = const_cast<char*>(evil.c_str());
    eve.Address = const_cast<char*>("eve@x\nEND:VCALENDAR");
    ICalAttendee bare{};
    bare.Address = const_cast<char*>("a\"b@x y");
    eve.Next = &bare;
    o.Attendees = &eve;
    o.UID = const_cast<char*>("u\r\nEND:VEVENT");
    o.Summary = const_cast<char*>(evil.c_str());
    const std::string text = Write(&o);
    std::vector<std::string> lines;
    ASSERT_TRUE(Lines(text, lines)) << text;
    std::vector<std::string> names;
    for (const auto& l : lines)
        if (l[0] != ' ') names.push_back(l.substr(0, l.find_first_of(";:")));
    const std::vector<std::string> expected = {
        "BEGIN",    "PRODID",   "VERSION", "METHOD",  "BEGIN",   "ORGANIZER", "ATTENDEE",
        "ATTENDEE", "SEQUENCE", "UID",     "SUMMARY", "DTSTAMP", "END",       "END"};
    EXPECT_EQ(names, expected) << text;
    EXPECT_NE(text.find("ORGANIZER;CN=\"Boss^'^nATTENDEE:mailto:x@y\":mailto:"
                        "boss@x%0D%0ABEGIN:VALARM\r\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("CN=\"a^'b@x y\""), std::string::npos) << text;
    EXPECT_NE(text.find(":MAILTO:a\"b@x%20y\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("UID:u\\NEND\\:VEVENT\r\n"), std::string::npos) << text;
    // Read back: one event, two attendees, the texts as they were (line
    // breaks as LF).
    Object back = Parse(text);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->Kind, ICAL_KIND_EVENT);
    ASSERT_TRUE(back->Attendees && back->Attendees->Next && !back->Attendees->Next->Next);
    EXPECT_STREQ(back->Attendees->Address, "eve@x%0AEND:VCALENDAR");
    EXPECT_STREQ(back->Summary, "Eve\nEND:VEVENT\nBEGIN:VTODO\nSUMMARY:owned\nX");
    EXPECT_STREQ(back->UID, "u\nEND:VEVENT");
    EXPECT_EQ(back->PercentComplete, 0);
}

} // namespace
