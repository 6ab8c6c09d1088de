#include "mime.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using revo::MimePart;
using revo::ParseMime;
using revo::StructureLines;

namespace {

// The body text of a 2002 line's range.
std::string Body(const std::string& msg, const MimePart& p) {
    return msg.substr(p.start, p.length);
}

std::vector<int> Codes(const std::vector<std::string>& lines) {
    std::vector<int> c;
    for (const auto& l : lines)
        c.push_back(std::stoi(l.substr(0, 4)));
    return c;
}

TEST(Mime, SinglePartMessages) {
    const std::string msg = "From: a@x\r\nContent-Type: text/calendar; method=REPLY;\r\n"
                            " charset=\"UTF-8\"\r\nContent-Transfer-Encoding: Base64\r\n\r\n"
                            "QkVHSU46VkNBTEVOREFS\r\n";
    MimePart top = ParseMime(msg);
    EXPECT_EQ("text", top.type);
    EXPECT_EQ("calendar", top.subtype);
    EXPECT_EQ("UTF-8", top.charset) << "folded parameter";
    EXPECT_EQ("base64", top.encoding);
    EXPECT_EQ("QkVHSU46VkNBTEVOREFS\r\n", Body(msg, top));
    auto lines = StructureLines(top);
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("2002 text calendar UTF-8 base64 \"\" " + std::to_string(top.start) + " 22",
              lines[0]);

    // No headers of interest: text/plain, us-ascii, 7bit; LF line ends.
    const std::string plain = "Subject: x\n\nbody\n";
    MimePart p = ParseMime(plain);
    EXPECT_EQ("2002 text plain US-ASCII 7bit \"\" 12 5", StructureLines(p)[0]);
    // Header only, no separating empty line: empty body at the end.
    MimePart h = ParseMime("Subject: x\r\n");
    EXPECT_EQ(12u, h.start);
    EXPECT_EQ(0u, h.length);
}

TEST(Mime, AlternativeAndMixedWithAttachment) {
    const std::string msg =
        "Content-Type: multipart/mixed; boundary=\"outer\"\r\n\r\n"
        "preamble\r\n"
        "--outer\r\n"
        "Content-Type: multipart/alternative; boundary=inner\r\n\r\n"
        "--inner\r\nContent-Type: text/plain\r\n\r\nplain text\r\n"
        "--inner\r\nContent-Type: text/calendar; method=CANCEL\r\n"
        "Content-Transfer-Encoding: quoted-printable\r\n\r\nBEGIN:VCALENDAR=0D=0A\r\n"
        "--inner--\r\n"
        "--outer\r\nContent-Type: application/pdf; name=\"a.pdf\"\r\n"
        "Content-Disposition: attachment; filename=\"report \\\"q1\\\".pdf\"\r\n"
        "Content-Transfer-Encoding: base64\r\n\r\nJVBERi0=\r\n"
        "--outer--\r\nepilogue\r\n";
    MimePart top = ParseMime(msg);
    ASSERT_EQ(2u, top.children.size());
    const MimePart& alt = top.children[0];
    ASSERT_EQ(2u, alt.children.size());
    EXPECT_EQ("plain text", Body(msg, alt.children[0]));
    EXPECT_EQ("BEGIN:VCALENDAR=0D=0A", Body(msg, alt.children[1]));
    EXPECT_EQ("quoted-printable", alt.children[1].encoding);
    EXPECT_EQ("JVBERi0=", Body(msg, top.children[1]));
    EXPECT_EQ("report \"q1\".pdf", top.children[1].name) << "filename wins over name";

    auto lines = StructureLines(top);
    EXPECT_EQ((std::vector<int>{2002, 2002, 2002, 2002, 2004, 2002, 2003}), Codes(lines));
    EXPECT_EQ(0u, lines[1].find("2002 multipart alternative - 7bit \"\" "));
    EXPECT_EQ(0u, lines[3].find("2002 text calendar US-ASCII quoted-printable \"\" "));
    // A quote inside the name cannot end the quoted field early.
    EXPECT_EQ(0u, lines[5].find("2002 application pdf - base64 \"report _q1_.pdf\" ")) << lines[5];
    // The numbers are exactly the body range.
    EXPECT_NE(std::string::npos, lines[5].find(" " + std::to_string(top.children[1].start) + " 8"));
}

TEST(Mime, NestedMultipartsAndEncapsulatedMessage) {
    const std::string inner =
        "From: b@x\r\nContent-Type: multipart/alternative; boundary=b2\r\n\r\n"
        "--b2\r\nContent-Type: text/plain\r\n\r\nhi\r\n"
        "--b2\r\nContent-Type: text/html\r\n\r\n<p>hi</p>\r\n--b2--\r\n";
    const std::string msg = "Content-Type: multipart/mixed; boundary=b1\r\n\r\n"
                            "--b1\r\nContent-Type: multipart/related; boundary=b3\r\n\r\n"
                            "--b3\r\nContent-Type: text/html\r\n\r\n<img>\r\n"
                            "--b3\r\nContent-Type: image/png\r\n\r\nPNG\r\n--b3--\r\n"
                            "--b1\r\nContent-Type: message/rfc822\r\n\r\n" +
                            inner + "\r\n--b1--\r\n";
    MimePart top = ParseMime(msg);
    auto lines = StructureLines(top);
    // mixed( related(html, png) rfc822( alternative(plain, html) ) )
    EXPECT_EQ(
        (std::vector<int>{2002, 2002, 2002, 2002, 2003, 2002, 2002, 2002, 2002, 2004, 2003, 2003}),
        Codes(lines));
    ASSERT_EQ(2u, top.children.size());
    const MimePart& rfc = top.children[1];
    EXPECT_EQ("message", rfc.type);
    EXPECT_EQ(inner, Body(msg, rfc)) << "the encapsulated message, whole";
    ASSERT_EQ(1u, rfc.children.size());
    EXPECT_EQ("<p>hi</p>", Body(msg, rfc.children[0].children[1]));
    EXPECT_EQ("PNG", Body(msg, top.children[0].children[1]));
}

TEST(Mime, DigestDefaultsAndDamagedInput) {
    // In a digest, parts without a type are messages.
    const std::string digest = "Content-Type: multipart/digest; boundary=d\n\n"
                               "--d\n\nSubject: one\n\nfirst\n--d--\n";
    MimePart d = ParseMime(digest);
    ASSERT_EQ(1u, d.children.size());
    EXPECT_EQ("message", d.children[0].type);
    EXPECT_EQ("first", Body(digest, d.children[0].children[0]));

    // Missing close delimiter: the last part runs to the end.
    const std::string open = "Content-Type: multipart/mixed; boundary=z\r\n\r\n"
                             "--z\r\n\r\nA\r\n--z\r\n\r\nB tail";
    MimePart o = ParseMime(open);
    ASSERT_EQ(2u, o.children.size());
    EXPECT_EQ("A", Body(open, o.children[0]));
    EXPECT_EQ("B tail", Body(open, o.children[1]));

    // A boundary prefix followed by more text is not a delimiter.
    const std::string prefix = "Content-Type: multipart/mixed; boundary=z\r\n\r\n"
                               "--z\r\n\r\n--zz not a delimiter\r\n--z--\r\n";
    MimePart pr = ParseMime(prefix);
    ASSERT_EQ(1u, pr.children.size());
    EXPECT_EQ("--zz not a delimiter", Body(prefix, pr.children[0]));

    // No boundary parameter: still listed, with its closing line.
    auto nb = StructureLines(ParseMime("Content-Type: multipart/mixed\r\n\r\nx"));
    EXPECT_EQ((std::vector<int>{2002, 2003}), Codes(nb));

    // Garbage type values fall back to text/plain; overlong words are cut.
    MimePart g = ParseMime("Content-Type: nonsense\r\n\r\n");
    EXPECT_EQ("text", g.type);
    std::string longType = "Content-Type: text/" + std::string(200, 'x') + "\r\n\r\n";
    auto gl = StructureLines(ParseMime(longType));
    EXPECT_NE(std::string::npos, gl[0].find(" " + std::string(63, 'x') + " "));
    EXPECT_EQ(std::string::npos, gl[0].find(std::string(64, 'x')));
}

TEST(Mime, DeepNestingIsBounded) {
    std::string msg;
    for (int i = 0; i < 2000; ++i)
        msg += "Content-Type: multipart/mixed; boundary=b" + std::to_string(i) + "\r\n\r\n--b" +
               std::to_string(i) + "\r\n";
    msg += "\r\nleaf\r\n";
    auto lines = StructureLines(ParseMime(msg));
    EXPECT_LT(lines.size(), 100u);
    EXPECT_EQ(lines.size() % 2, 0u) << "every container opened is closed";
}

} // namespace
