// Line reader, send loop, digest, secret unscrambling and the part-decoding
// stream chain, on socket pairs.
#include "dayward.h"
#include "internal.h"
#include "lwstream.h"
#include "revo_secret.h"

#include "codec_oracle.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

namespace {

// Runs fn on a thread of its own, since a failed read or write ends the
// calling thread. Returns true when fn came back, false when the thread ended.
bool OnThread(const std::function<void()>& fn) {
    struct Job {
        const std::function<void()>* fn;
        bool returned = false;
    } job{&fn};
    pthread_t t;
    pthread_create(
        &t, nullptr,
        [](void* p) -> void* {
            auto* j = static_cast<Job*>(p);
            (*j->fn)();
            j->returned = true;
            return nullptr;
        },
        &job);
    pthread_join(t, nullptr);
    return job.returned;
}

struct Pair {
    REVOConnection* conn; // heap record, freed by a release
    int peer;
    Pair() {
        int sv[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        conn = static_cast<REVOConnection*>(calloc(1, sizeof(REVOConnection)));
        conn->Socket = sv[0];
        peer = sv[1];
    }
    ~Pair() {
        if (peer != -1) close(peer);
    }
    void Send(const std::string& s) const {
        ASSERT_EQ(write(peer, s.data(), s.size()), static_cast<ssize_t>(s.size()));
    }
    void ClosePeer() {
        close(peer);
        peer = -1;
    }
    // For records a test expects to survive.
    void Dispose() {
        if (conn->Socket != -1) close(conn->Socket);
        free(conn);
    }
};

// One line as the reader returns it; text nullptr when it is not looked at.
struct ReadStep {
    int parse, code;
    const char* text;
};

// Reads the lines in order on a thread of their own; the record survives.
void ExpectLines(Pair& p, std::initializer_list<ReadStep> steps) {
    EXPECT_TRUE(OnThread([&] {
        char buf[1024];
        for (const auto& s : steps) {
            SCOPED_TRACE(s.code);
            EXPECT_EQ(REVOReadLine(p.conn, buf, sizeof buf, s.parse), s.code);
            if (s.text) {
                EXPECT_STREQ(buf, s.text);
            }
        }
    }));
    p.Dispose();
}

TEST(ReadLine, ReplyCodeAndTextSplit) {
    Pair p;
    p.Send("1000 OK\r\n2002-x y\r\n12345 text\r\n1000\r\n4242 hi there <abc>\r\n");
    // Without a separator at index 4 the first space separates; the code
    // alone has nothing to separate.
    ExpectLines(p, {{1, 1000, "OK"},
                    {1, 2002, "x y"},
                    {1, 12345, "text"},
                    {1, -1, nullptr},
                    {1, 4242, "hi there <abc>"}});
}

TEST(ReadLine, UnparsedLinesAndCarriageReturns) {
    Pair p;
    p.Send("2002 a\rb\n6021 end\r\nFalice@example.com 5\r\n\r\n");
    // The last carriage return cuts the line, even in its middle.
    ExpectLines(
        p, {{1, 2002, "a"}, {0, 6021, "6021 end"}, {0, 0, "Falice@example.com 5"}, {0, 0, ""}});
}

TEST(ReadLine, BufferedLinesNeedNoRead) {
    Pair p;
    p.Send("1000 one\r\n1000 two\r\n");
    char buf[1024];
    EXPECT_TRUE(OnThread([&] {
        EXPECT_EQ(REVOReadLine(p.conn, buf, sizeof buf, 1), 1000);
        EXPECT_STREQ(buf, "one");
        EXPECT_EQ(p.conn->BufferedLength, 10);
        p.ClosePeer(); // a read now would fail and end the thread
        EXPECT_EQ(REVOReadLine(p.conn, buf, sizeof buf, 1), 1000);
        EXPECT_STREQ(buf, "two");
        EXPECT_EQ(p.conn->BufferedLength, 0);
        EXPECT_EQ(p.conn->LineBuffer[0], '\0');
    }));
    // The third read finds the peer gone: the record is released, the thread ends.
    EXPECT_FALSE(OnThread([&] { REVOReadLine(p.conn, buf, sizeof buf, 1); }));
}

TEST(ReadLine, LinesArrivingInPieces) {
    Pair p;
    char buf[1024];
    std::thread writer([&] {
        for (const char* piece : {"60", "20 Q123 ", "456\r", "\nL"}) {
            p.Send(piece);
            usleep(20000);
        }
    });
    EXPECT_TRUE(OnThread([&] {
        EXPECT_EQ(REVOReadLine(p.conn, buf, sizeof buf, 1), 6020);
        EXPECT_STREQ(buf, "Q123 456");
    }));
    writer.join();
    EXPECT_EQ(p.conn->BufferedLength, 1);
    EXPECT_STREQ(p.conn->LineBuffer, "L");
    p.Dispose();
}

TEST(ReadLine, SessionEndClosesTheSocket) {
    Pair p;
    p.Send("5001 bye\r\n1000 never\r\n");
    char buf[1024];
    EXPECT_TRUE(OnThread([&] {
        EXPECT_EQ(REVOReadLine(p.conn, buf, sizeof buf, 1), 5001);
        EXPECT_STREQ(buf, "bye");
        EXPECT_EQ(p.conn->Socket, -1);
        // Even with a line still buffered, a closed connection reads nothing.
        EXPECT_EQ(REVOReadLine(p.conn, buf, sizeof buf, 1), -1);
    }));
    p.Dispose();
}

TEST(ReadLine, LongLinesAreCutOrEndTheConnection) {
    Pair p;
    char small[8];
    p.Send("1000 abcdefghij\r\n");
    EXPECT_TRUE(OnThread([&] {
        // The copy is cut to the destination; the rest of the line is gone.
        EXPECT_EQ(REVOReadLine(p.conn, small, sizeof small, 0), 1000);
        EXPECT_STREQ(small, "1000 ab");
        EXPECT_EQ(p.conn->BufferedLength, 0);
    }));

    // 1023 bytes without a line feed fill the buffer: the connection is given up.
    p.Send(std::string(1500, 'x') + "\n");
    char buf[1024];
    EXPECT_FALSE(OnThread([&] { REVOReadLine(p.conn, buf, sizeof buf, 0); }));
}

TEST(ReadLine, PreReleasedRecordReturnsInsteadOfEnding) {
    Pair p;
    p.conn->Released = 1;
    p.ClosePeer();
    ExpectLines(p, {{1, 0, nullptr}});
}

TEST(SendAll, WholeBufferAndFailures) {
    Pair p;
    std::string big(300000, 'q');
    for (size_t i = 0; i < big.size(); i += 997)
        big[i] = static_cast<char>('a' + i % 26);
    std::string got;
    std::thread reader([&] {
        char b[4096];
        ssize_t n;
        while (got.size() < big.size() && (n = read(p.peer, b, sizeof b)) > 0)
            got.append(b, static_cast<size_t>(n));
    });
    EXPECT_TRUE(OnThread(
        [&] { EXPECT_EQ(REVOSendAll(p.conn, big.data(), static_cast<int>(big.size())), 1); }));
    reader.join();
    EXPECT_EQ(got, big);

    // A peer that went away fails the write (no SIGPIPE): released, thread ended.
    p.ClosePeer();
    EXPECT_FALSE(OnThread([&] { REVOSendAll(p.conn, "QDONE\r\n", 7); }));

    // A pre-released record (calendar-store session) gets 0 back instead.
    Pair q;
    q.conn->Released = 1;
    q.ClosePeer();
    EXPECT_TRUE(OnThread([&] { EXPECT_EQ(REVOSendAll(q.conn, big.data(), 200000), 0); }));
    EXPECT_EQ(q.conn->Socket, -1);
    q.Dispose();
}

// What the peer received, once nothing more arrives for a moment.
std::string Drain(int fd) {
    std::string got;
    char b[4096];
    for (;;) {
        pollfd pf{fd, POLLIN, 0};
        if (poll(&pf, 1, 100) <= 0) break;
        ssize_t n = read(fd, b, sizeof b);
        if (n <= 0) break;
        got.append(b, static_cast<size_t>(n));
    }
    return got;
}

TEST(SendAll, MoreThanOneLineIsNeverSent) {
    // Whoever formatted it: a command that would put a second line (or a
    // NUL) on the wire fails like a write, with nothing sent.
    for (std::string bad : {std::string("CSFIND 0 x\nUSER bob@example.com\r\n"),
                            std::string("CSFIND 0 x\rCSDELE 1\r\n"),
                            std::string("USER bob\0x\r\n", 13), std::string("QDONE\n\r\n")}) {
        Pair p;
        p.conn->Released = 1; // a store session: the caller gets 0
        EXPECT_TRUE(OnThread(
            [&] { EXPECT_EQ(REVOSendAll(p.conn, bad.data(), static_cast<int>(bad.size())), 0); }));
        EXPECT_EQ(p.conn->Socket, -1);
        EXPECT_EQ(Drain(p.peer), "");
        p.Dispose();
    }
    // A queue connection is given up instead (the server keeps its entry).
    Pair q;
    EXPECT_FALSE(OnThread([&] { REVOSendAll(q.conn, "QMOD RAW a\nb\r\n", 14); }));
    EXPECT_EQ(Drain(q.peer), "");

    // One line, with or without its end, passes as it is.
    Pair r;
    EXPECT_TRUE(OnThread([&] {
        EXPECT_EQ(REVOSendAll(r.conn, "QMOD RAW Z\x01\t\x7f x\r\n", 17), 1);
        EXPECT_EQ(REVOSendAll(r.conn, "QDO", 3), 1);
    }));
    EXPECT_EQ(Drain(r.peer), "QMOD RAW Z\x01\t\x7f x\r\nQDO");
    r.Dispose();
}

// The hand-back goes in one write: whole CR LF lines pass as they are,
// anything else (a bare CR or LF, a NUL, an unended last line) sends nothing.
TEST(SendLines, WholeLinesInOneWriteOrNothing) {
    std::string lines;
    ASSERT_TRUE(dayward::Command("QMOD").Word("RAW").Text("Fa@x.org").AppendTo(lines));
    ASSERT_TRUE(dayward::Command("QMOD").Word("RAW").Text("Lb@x.org b@x.org 0").AppendTo(lines));
    EXPECT_FALSE(dayward::Command("QMOD").Word("RAW").Text("Lc\nQDONE").AppendTo(lines));
    lines += "QDONE\r\n";
    Pair ok;
    EXPECT_TRUE(OnThread([&] { EXPECT_EQ(dayward::SendLines(ok.conn, lines), 1); }));
    EXPECT_EQ(Drain(ok.peer), "QMOD RAW Fa@x.org\r\nQMOD RAW Lb@x.org b@x.org 0\r\nQDONE\r\n");
    ok.Dispose();
    for (std::string bad :
         {std::string("QMOD RAW a\r\nb\nQDONE\r\n"), std::string("QMOD RAW a\rb\r\nQDONE\r\n"),
          std::string("QMOD RAW a\r\n\0QDONE\r\n", 20), std::string("QDONE"),
          std::string("QDONE\r"), std::string()}) {
        Pair p;
        p.conn->Released = 1;
        EXPECT_TRUE(OnThread([&] { EXPECT_EQ(dayward::SendLines(p.conn, bad), 0); }));
        EXPECT_EQ(p.conn->Socket, -1);
        EXPECT_EQ(Drain(p.peer), "") << bad;
        p.Dispose();
    }
    // A queue connection is given up: the server keeps its entry.
    Pair q;
    EXPECT_FALSE(OnThread([&] { dayward::SendLines(q.conn, "QMOD RAW a\nb\r\nQDONE\r\n"); }));
    EXPECT_EQ(Drain(q.peer), "");
}

TEST(Command, ValuesThatCouldAddLinesOrArgumentsSpoilIt) {
    using dayward::Command;
    Pair p;
    p.conn->Released = 1;
    EXPECT_TRUE(OnThread([&] {
        EXPECT_EQ(Command("CSFIND").Number(3).Word("uid@x").Number(1796738400).Send(p.conn), 1);
        EXPECT_EQ(Command("QMOD").Word("RAW").Text("Lbob@x \"Bob B\" 0").Send(p.conn), 1);
        EXPECT_EQ(Command("QMOD").Word("RAW").Text("").Send(p.conn), 1);
        // Spoiled: nothing of them is sent.
        for (const char* w : {"", "a b", "a\tb", "a\nUSER b", "a\r", "a\x7f"})
            EXPECT_EQ(Command("CSFIND").Number(0).Word(w).Send(p.conn), 0) << w;
        EXPECT_EQ(Command("CSFIND").Number(0).Word(std::string_view("a\0b", 3)).Send(p.conn), 0);
        for (const char* t : {"a\nb", "a\rb"})
            EXPECT_EQ(Command("QMOD").Word("RAW").Text(t).Send(p.conn), 0) << t;
        EXPECT_EQ(Command("QMOD").Word("RAW").Text(std::string_view("a\0b", 3)).Send(p.conn), 0);
        // Nothing may follow the rest of the line.
        EXPECT_FALSE(Command("QWAIT").Text("x y").Word("z").Ok());
        EXPECT_FALSE(Command("BAD VERB").Ok());
    }));
    EXPECT_EQ(Drain(p.peer),
              "CSFIND 3 uid@x 1796738400\r\nQMOD RAW Lbob@x \"Bob B\" 0\r\nQMOD RAW \r\n");
    EXPECT_TRUE(dayward::LineWordOk("caf\xc3\xa9@example.com")); // UTF-8 is fine
    p.Dispose();
}

std::string Md5Hex(const std::string& a, const std::string& b = "") {
    MD5Context ctx;
    MD5Init(&ctx);
    MD5Update(&ctx, a.data(), static_cast<unsigned>(a.size()));
    MD5Update(&ctx, b.data(), static_cast<unsigned>(b.size()));
    unsigned char d[16];
    MD5Final(d, &ctx);
    char hex[33];
    for (int i = 0; i < 16; ++i)
        snprintf(hex + 2 * i, 3, "%02x", d[i]);
    return hex;
}

TEST(Digest, KnownVectorsInOneOrTwoParts) {
    EXPECT_EQ(Md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(Md5Hex("message ", "digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    std::string longText(1000, 'a');
    EXPECT_EQ(Md5Hex(longText.substr(0, 333), longText.substr(333)), Md5Hex(longText));
    // Agrees with the servers' side of the AUTH digest.
    char expect[33];
    ASSERT_EQ(RevoChallengeDigest("1234.5678@revo", 14,
                                  reinterpret_cast<const unsigned char*>("secret!!"), 8, expect),
              1);
    EXPECT_EQ(Md5Hex("1234.5678@revo", "secret!!"), expect);
}

TEST(Secret, UnscramblesWhatTheServersScramble) {
    const char selectors[] = "12345679abcdef";
    for (const char* sel = selectors; *sel; ++sel) {
        unsigned char secret[8];
        for (int i = 0; i < 8; ++i)
            secret[i] = static_cast<unsigned char>(0x11 + 29 * i + *sel);
        unsigned char filler[15];
        for (int i = 0; i < 15; ++i)
            filler[i] = static_cast<unsigned char>(i * 7);
        char text[33];
        ASSERT_EQ(RevoScrambleSecret(secret, *sel, filler, sizeof filler, text), 1);
        memset(REVOSecret, 0x5a, sizeof REVOSecret);
        ASSERT_EQ(UnscrambleSecret(text), 1) << text;
        EXPECT_EQ(memcmp(REVOSecret, secret, 8), 0) << "selector " << *sel;
        EXPECT_EQ(REVOSecret[8], '\0');
    }
}

TEST(Secret, SelectorsEmptyTextAndZeroBytes) {
    // An unknown selector gives eight zero bytes: the secret is empty.
    for (const char* text :
         {"0123456789abcdef0123456789abcdef", "Z123456789abcdef0123456789abcdef"}) {
        memset(REVOSecret, 0x5a, sizeof REVOSecret);
        EXPECT_EQ(UnscrambleSecret(text), 1);
        EXPECT_EQ(strlen(REVOSecret), 0u) << text;
    }

    // The empty text leaves the secret as it was.
    strcpy(REVOSecret, "keepme");
    EXPECT_EQ(UnscrambleSecret(""), 0);
    EXPECT_STREQ(REVOSecret, "keepme");

    // A zero result byte ends the secret there.
    unsigned char secret[8] = {'a', 'b', 'c', 0, 'e', 'f', 'g', 'h'};
    char text[33];
    ASSERT_EQ(RevoScrambleSecret(secret, '9', nullptr, 0, text), 1);
    ASSERT_EQ(UnscrambleSecret(text), 1);
    EXPECT_STREQ(REVOSecret, "abc");

    // The built-in default yields the same bytes on both sides.
    unsigned char theirs[9];
    ASSERT_EQ(RevoUnscrambleSecret(REVO_DEFAULT_SECRET_TEXT, theirs), 1);
    ASSERT_EQ(UnscrambleSecret(REVO_DEFAULT_SECRET_TEXT), 1);
    EXPECT_EQ(memcmp(REVOSecret, theirs, 9), 0);
    memset(REVOSecret, 0, sizeof REVOSecret);
}

// Decodes count bytes of the connection (part of them already buffered)
// through source, registry decoder and memory sink, as a queue thread does.
std::string DecodeThroughChain(Pair& p, const char* encoding, int32_t count) {
    std::string out = "<no text>";
    EXPECT_TRUE(OnThread([&] {
        unsigned char b1[LWSTREAM_BUFSIZE], b2[LWSTREAM_BUFSIZE];
        LWStream sink{}, dec{}, src{};
        sink.Start = b2;
        sink.End = b2 + sizeof b2;
        sink.Codec = DaywardStreamToMemory;
        dec.Start = b1;
        dec.End = b1 + sizeof b1;
        dec.Codec = LWStreamFindCodec(encoding, 0);
        ASSERT_NE(dec.Codec, nullptr);
        dec.Next = &sink;
        src.Data = p.conn;
        src.Count = count;
        src.Codec = DaywardStreamFromREVO;
        src.Next = &dec;
        EXPECT_EQ(src.Codec(&src, &dec), static_cast<uint32_t>(count));
        EXPECT_EQ(src.Count, count); // the source record is not changed
        if (sink.Data) {
            out.assign(static_cast<char*>(sink.Data), static_cast<size_t>(sink.Count));
            free(sink.Data);
        }
    }));
    return out;
}

TEST(StreamChain, Base64FromBufferThenSocketStopsAtTheCount) {
    std::string text;
    for (int i = 0; i < 200; ++i)
        text += "DESCRIPTION:line " + std::to_string(i) + "\r\n";
    std::string enc = arbortest::Base64Encode(text);
    Pair p;
    // The server's reply line and the first bytes arrive together.
    p.conn->BufferedLength = 100;
    memcpy(p.conn->LineBuffer, enc.data(), 100);
    p.conn->LineBuffer[100] = '\0';
    p.Send(enc.substr(100) + "1000 next line\r\n");
    EXPECT_EQ(DecodeThroughChain(p, "base64", static_cast<int32_t>(enc.size())), text);
    // Nothing past the part was taken from the connection's line stream.
    ExpectLines(p, {{1, 1000, "next line"}});
}

TEST(StreamChain, QuotedPrintableAndAnEarlyEnd) {
    Pair p;
    std::string qp = "SUMMARY:Caf=C3=A9 =\r\nmeeting\r\n";
    p.Send(qp);
    EXPECT_EQ(DecodeThroughChain(p, "quoted-printable", static_cast<int32_t>(qp.size())),
              "SUMMARY:Caf\xC3\xA9 meeting\r\n");
    p.Dispose();

    // The peer goes away half way: whatever reached the sink is the text.
    Pair q;
    q.Send("SUMMARY:short\r\n");
    q.ClosePeer();
    std::string got = DecodeThroughChain(q, "quoted-printable", 5000);
    EXPECT_TRUE(got == "<no text>" || std::string("SUMMARY:short\r\n").rfind(got, 0) == 0) << got;
    q.Dispose();
}

} // namespace
