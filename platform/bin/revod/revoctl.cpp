// revoctl: a command-line client of revod for people and tests.
#include "arbor_version.h"
#include "directory.h"
#include "netio.h"
#include "revo_secret.h"

#include "ical.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

const char* kUsage =
    "usage: revoctl [--server ADDR] [--port N] [--secret-text TEXT] COMMAND ...\n"
    "commands:\n"
    "  submit --from ADDR --to ADDR[:FLAGS] [--to ...] [--kind L|M] FILE|-\n"
    "                          queue a message file with its envelope\n"
    "  mailbox USER [--show ID]  list a mailbox, or print one message\n"
    "  calendar show USER        a user's calendar: entries, instances, attendees\n"
    "  calendar add USER FILE.ics  add (or replace, by UID) an event or task\n"
    "  queue                     the entries still queued\n"
    "options:\n"
    "  --server ADDR   revod's IPv4 address (default 127.0.0.1)\n"
    "  --port N        its port (default $REVO_PORT, else 689)\n"
    "  --secret-text T scrambled shared secret (default: the directory's, else built-in)\n"
    "  --help          this text\n"
    "  --version       the release\n";

[[noreturn]] void Usage(const std::string& why) {
    std::fprintf(stderr, "revoctl: %s\n%s", why.c_str(), kUsage);
    std::exit(2);
}

[[noreturn]] void Fail(const std::string& why) {
    std::fprintf(stderr, "revoctl: %s\n", why.c_str());
    std::exit(1);
}

struct Options {
    std::string server = "127.0.0.1";
    uint16_t port = 689;
    std::string secretText;
};

// The code as a reply line starts with it.
std::string CodeText(RevoReplyCode code) {
    return std::to_string(static_cast<int>(code));
}

class Session {
  public:
    explicit Session(const Options& o) {
        std::string err;
        int fd = revo::ConnectTcp(o.server, o.port, 5000, err);
        if (fd < 0) Fail(err);
        revo::SetTimeouts(fd, 60000);
        conn_ = std::make_unique<revo::LineConn>(fd);
        std::string greeting = Line();
        if (greeting.rfind(CodeText(REVO_OK), 0) == 0) return;
        auto lt = greeting.find('<'), gt = greeting.find('>', lt);
        if (greeting.rfind(CodeText(REVO_AUTH_CHALLENGE), 0) != 0 || lt == std::string::npos)
            Fail("unexpected greeting: " + greeting);
        std::string challenge = greeting.substr(lt + 1, gt == std::string::npos ? gt : gt - lt - 1);
        std::string text = o.secretText;
        if (text.empty())
            text = revo::DirectoryOpen() ? revo::DirectorySecretText() : REVO_DEFAULT_SECRET_TEXT;
        unsigned char secret[REVO_SECRET_BYTES + 1] = {};
        RevoUnscrambleSecret(text.c_str(), secret);
        char digest[REVO_DIGEST_TEXT_LEN + 1];
        RevoChallengeDigest(challenge.data(), challenge.size(), secret, RevoSecretLength(secret),
                            digest);
        Expect(Cmd(std::string("AUTH ") + digest), REVO_OK, "authentication");
    }
    ~Session() {
        if (conn_) conn_->SendAll("QUIT\r\n");
    }
    std::string Line() {
        std::string l;
        if (conn_->ReadLine(l, 1 << 20) != revo::LineConn::Read::Line)
            Fail("connection closed by the server");
        return l;
    }
    std::string Cmd(const std::string& line) {
        Send(line + "\r\n");
        return Line();
    }
    void Send(const std::string& raw) {
        if (!conn_->SendAll(raw)) Fail("connection lost");
    }
    std::string Bytes(size_t n) {
        std::string s;
        if (!conn_->ReadExact(n, s)) Fail("connection closed by the server");
        return s;
    }
    // Lines of a listing; the final non-2xxx line is checked for REVO_OK.
    std::vector<std::string> Listing(const std::string& line) {
        Send(line + "\r\n");
        std::vector<std::string> out;
        for (;;) {
            std::string l = Line();
            if (l.size() < 4 || l[0] != '2') {
                Expect(l, REVO_OK, line);
                return out;
            }
            out.push_back(l);
        }
    }
    static void Expect(const std::string& reply, int code, const std::string& what) {
        if (std::atoi(reply.c_str()) != code) Fail(what + ": " + reply);
    }

  private:
    std::unique_ptr<revo::LineConn> conn_;
};

std::string ReadFileOrStdin(const std::string& path) {
    std::string data;
    if (path == "-") {
        data.assign(std::istreambuf_iterator<char>(std::cin), {});
        return data;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) Fail("cannot read " + path + ": " + std::strerror(errno));
    data.assign(std::istreambuf_iterator<char>(in), {});
    return data;
}

std::string Iso(int64_t t) {
    if (t == 0) return "-";
    time_t tt = static_cast<time_t>(t);
    tm g{};
    gmtime_r(&tt, &g);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%SZ", &g);
    return buf;
}

// Fields of a listing line after its code.
std::vector<std::string> Fields(const std::string& line, size_t count) {
    std::string_view rest = std::string_view(line).substr(std::min<size_t>(5, line.size()));
    std::vector<std::string> f;
    for (size_t i = 0; i + 1 < count; ++i)
        f.emplace_back(revo::NextWord(rest));
    f.emplace_back(rest);
    return f;
}

bool ValidAddress(const std::string& a) {
    if (a.empty() || a.size() > 320) return false;
    for (unsigned char c : a)
        if (c <= ' ' || c == 0x7f) return false;
    return true;
}

int Submit(const Options& o, std::vector<std::string> args) {
    std::string from, file, kind = "L";
    std::vector<std::pair<std::string, unsigned long>> to;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= args.size()) Usage(a + " needs a value");
            return args[++i];
        };
        if (a == "--from") {
            from = value();
        } else if (a == "--to") {
            std::string v = value();
            unsigned long flags = 0;
            size_t colon = v.rfind(':');
            if (colon != std::string::npos && v.find('@') < colon) {
                char* end = nullptr;
                std::string f = v.substr(colon + 1);
                flags = std::strtoul(f.c_str(), &end, 10);
                if (f.empty() || *end) Usage("bad flags in --to " + v);
                v.erase(colon);
            }
            if (!ValidAddress(v)) Usage("bad recipient address: " + v);
            to.emplace_back(v, flags);
        } else if (a == "--kind") {
            kind = value();
            if (kind != "L" && kind != "M") Usage("--kind takes L or M");
        } else if (!a.empty() && a[0] == '-' && a != "-") {
            Usage("unknown submit option " + a);
        } else if (file.empty()) {
            file = a;
        } else {
            Usage("more than one message file");
        }
    }
    if (!ValidAddress(from)) Usage("submit needs --from ADDR");
    if (to.empty()) Usage("submit needs at least one --to ADDR");
    if (file.empty()) Usage("submit needs a message file (or - for standard input)");
    const std::string message = ReadFileOrStdin(file);
    std::string control = "F" + from + "\n";
    for (const auto& [addr, flags] : to)
        control += kind + addr + " " + addr + " " + std::to_string(flags) + "\n";
    Session s(o);
    s.Send("QSTORE " + std::to_string(control.size()) + " " + std::to_string(message.size()) +
           "\r\n" + control + message);
    std::string r = s.Line();
    Session::Expect(r, REVO_OK, "submit");
    std::printf("queued %s\n", Fields(r, 2)[0].c_str());
    return 0;
}

int Mailbox(const Options& o, const std::vector<std::string>& args) {
    if (args.empty() || !ValidAddress(args[0])) Usage("mailbox needs a user address");
    Session s(o);
    if (args.size() == 3 && args[1] == "--show") {
        std::string r = s.Cmd("MBREAD " + args[0] + " " + args[2]);
        Session::Expect(r, REVO_BYTES_FOLLOW, "message " + args[2]);
        std::string body = s.Bytes(std::strtoull(r.c_str() + 5, nullptr, 10));
        std::fwrite(body.data(), 1, body.size(), stdout);
        return 0;
    }
    if (args.size() != 1) Usage("mailbox USER [--show ID]");
    auto lines = s.Listing("MBLIST " + args[0]);
    std::printf("%-6s %-6s %-8s %-21s %s\n", "ID", "ENTRY", "SIZE", "DELIVERED", "SENDER");
    for (const auto& l : lines) {
        auto f = Fields(l, 5);
        std::printf("%-6s %-6s %-8s %-21s %s\n", f[0].c_str(), f[1].c_str(), f[2].c_str(),
                    Iso(std::atoll(f[3].c_str())).c_str(), f[4].c_str());
    }
    std::printf("%zu message(s)\n", lines.size());
    return 0;
}

int Queue(const Options& o, const std::vector<std::string>& args) {
    if (!args.empty()) Usage("queue takes no arguments");
    Session s(o);
    auto lines = s.Listing("QLIST");
    std::printf("%-6s %-6s %-8s %-6s %-8s %s\n", "ENTRY", "QUEUE", "FAILED", "RCPTS", "SIZE",
                "SENDER");
    for (const auto& l : lines) {
        auto f = Fields(l, 6);
        std::printf("%-6s %-6s %-8s %-6s %-8s %s\n", f[0].c_str(), f[1].c_str(), f[2].c_str(),
                    f[3].c_str(), f[4].c_str(), f[5].c_str());
    }
    std::printf("%zu entr%s queued\n", lines.size(), lines.size() == 1 ? "y" : "ies");
    return 0;
}

const char* StatusName(char c) {
    switch (c) {
    case 'N':
        return "NEEDS-ACTION";
    case 'A':
        return "ACCEPTED";
    case 'D':
        return "DECLINED";
    case 'T':
        return "TENTATIVE";
    case 'G':
        return "DELEGATED";
    case 'C':
        return "COMPLETED";
    case 'I':
        return "IN-PROCESS";
    default:
        return "?";
    }
}

void OpenCalendar(Session& s, const std::string& user) {
    Session::Expect(s.Cmd("USER " + user), REVO_OK, "user " + user);
    Session::Expect(s.Cmd("CSOPEN MAIN"), REVO_OK, "calendar of " + user);
}

int CalendarShow(Session& s) {
    auto lines = s.Listing("CSLIST");
    size_t entries = 0;
    for (const auto& l : lines) {
        if (l.rfind(CodeText(REVO_CAL_ENTRY), 0) == 0) {
            auto f = Fields(l, 9);
            ++entries;
            std::printf("entry %s: %s %s (sequence %s)\n  summary:   %s\n  organizer: %s\n"
                        "  start:     %s\n  end:       %s\n",
                        f[0].c_str(), f[1] == "T" ? "task" : "event", f[6].c_str(), f[2].c_str(),
                        f[8].c_str(), f[7].c_str(), Iso(std::atoll(f[3].c_str())).c_str(),
                        Iso(std::atoll(f[4].c_str())).c_str());
            if (f[1] == "T" || f[5] != "0")
                std::printf("  completed: %s\n", Iso(std::atoll(f[5].c_str())).c_str());
        } else if (l.rfind(CodeText(REVO_CAL_INSTANCE), 0) == 0) {
            std::printf("  instance   %s\n", Iso(std::atoll(Fields(l, 2)[1].c_str())).c_str());
        } else if (l.rfind(CodeText(REVO_CAL_ATTENDEE), 0) == 0) {
            auto f = Fields(l, 3);
            std::printf("  attendee   %-40s %s\n", f[2].c_str(),
                        StatusName(f[1].empty() ? '?' : f[1][0]));
        }
    }
    std::printf("%zu entr%s\n", entries, entries == 1 ? "y" : "ies");
    return 0;
}

constexpr int kMaxInstances = 1000;

// The store's description of the first event or task of an .ics text.
std::string EntryBlock(std::string text, const std::string& path) {
    if (text.empty()) Fail(path + ": empty file");
    ICalObject* obj = ICalParse(nullptr, text.data(), text.size());
    std::unique_ptr<ICalObject, int (*)(ICalObject*)> guard(obj, ICalFree);
    if (!obj || (obj->Kind != ICAL_KIND_EVENT && obj->Kind != ICAL_KIND_TODO))
        Fail(path + ": no VEVENT or VTODO found");
    if (!obj->UID || !*obj->UID || std::strpbrk(obj->UID, " \t\r\n"))
        Fail(path + ": the entry has no usable UID");
    auto clean = [](const char* s) {
        std::string r = s ? s : "";
        for (auto& c : r)
            if (static_cast<unsigned char>(c) < ' ') c = ' ';
        return r;
    };
    std::ostringstream b;
    b << "KIND " << (obj->Kind == ICAL_KIND_TODO ? 'T' : 'E') << "\n";
    b << "UID " << obj->UID << "\n";
    b << "SEQUENCE " << obj->Sequence << "\n";
    if (obj->Organizer && obj->Organizer->Address)
        b << "ORGANIZER " << clean(obj->Organizer->Address) << "\n";
    b << "SUMMARY " << clean(obj->Summary) << "\n";
    const int64_t start = obj->StartTime.UTC;
    int64_t end = obj->EndTime.UTC;
    if (end == 0 && obj->Duration > 0 && start != 0) end = start + obj->Duration;
    b << "START " << start << "\nEND " << end << "\n";
    if (obj->CompletedTime.UTC != 0) b << "COMPLETED " << obj->CompletedTime.UTC << "\n";
    if (ICalHasRecurrence(obj)) {
        ICalOccurrence occ{};
        int n = 0;
        for (int ok = ICalFirstOccurrence(obj, &occ); ok && n < kMaxInstances;
             ok = ICalNextOccurrence(obj, &occ), ++n)
            b << "INSTANCE " << occ.UTC << "\n";
    }
    static const char kLetters[] = "NADTGCI";
    for (const ICalAttendee* a = obj->Attendees; a; a = a->Next) {
        if (!a->Address || !ValidAddress(a->Address)) continue;
        const int ps = a->PartStat >= 0 && a->PartStat <= 6 ? a->PartStat : 0;
        b << "ATTENDEE " << kLetters[ps] << " " << a->Address << "\n";
    }
    return b.str();
}

int Calendar(const Options& o, const std::vector<std::string>& args) {
    if (args.size() == 2 && args[0] == "show") {
        Session s(o);
        OpenCalendar(s, args[1]);
        return CalendarShow(s);
    }
    if (args.size() == 3 && args[0] == "add") {
        const std::string block = EntryBlock(ReadFileOrStdin(args[2]), args[2]);
        Session s(o);
        OpenCalendar(s, args[1]);
        s.Send("CSPUT " + std::to_string(block.size()) + "\r\n" + block);
        std::string r = s.Line();
        Session::Expect(r, REVO_OK, "add to calendar");
        std::printf("stored entry %s\n", Fields(r, 2)[0].c_str());
        return 0;
    }
    Usage("calendar show USER | calendar add USER FILE.ics");
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    // Checked like --port (which wins): a wrapped or zero port would reach
    // another service.
    const char* envPort = std::getenv("REVO_PORT");
    bool portGiven = false;
    int i = 1;
    for (; i < argc && argv[i][0] == '-' && argv[i][1] == '-'; ++i) {
        std::string a = argv[i];
        if (a == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (a == "--version") {
            std::puts("revoctl " ARBOR_VERSION);
            return 0;
        }
        if (i + 1 >= argc) Usage(a + " needs a value");
        std::string v = argv[++i];
        if (a == "--server") {
            o.server = v;
        } else if (a == "--port") {
            char* end = nullptr;
            long p = std::strtol(v.c_str(), &end, 10);
            if (v.empty() || *end || p < 1 || p > 65535) Usage("bad port " + v);
            o.port = static_cast<uint16_t>(p);
            portGiven = true;
        } else if (a == "--secret-text") {
            o.secretText = v;
        } else {
            Usage("unknown option " + a);
        }
    }
    if (!portGiven && envPort && *envPort) {
        char* end = nullptr;
        long v = std::strtol(envPort, &end, 10);
        if (*end || v < 1 || v > 65535) Usage(std::string("bad REVO_PORT ") + envPort);
        o.port = static_cast<uint16_t>(v);
    }
    if (i >= argc) Usage("no command");
    const std::string cmd = argv[i++];
    std::vector<std::string> args(argv + i, argv + argc);
    if (cmd == "submit") return Submit(o, args);
    if (cmd == "mailbox") return Mailbox(o, args);
    if (cmd == "calendar") return Calendar(o, args);
    if (cmd == "queue") return Queue(o, args);
    if (cmd == "help") return std::fputs(kUsage, stdout), 0;
    Usage("unknown command " + cmd);
}
