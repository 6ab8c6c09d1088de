#include "peer.h"

#include "revo_secret.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>

namespace agenttest {

// ---- scripted REVO server ----

FakeRevo::FakeRevo(const std::string& addr, int port) {
    unsigned char s[REVO_SECRET_BYTES + 1];
    RevoUnscrambleSecret(REVO_DEFAULT_SECRET_TEXT, s);
    secret_.assign(reinterpret_cast<char*>(s), RevoSecretLength(s));

    acceptor_ = std::make_unique<arbortest::Acceptor>(
        addr, [this](Conn& c) { Serve(c); }, port);
}

FakeRevo::~FakeRevo() {
    acceptor_.reset();
}

void FakeRevo::SetSecret(const std::string& s) {
    std::lock_guard<std::mutex> l(mu_);
    secret_ = s;
}

void FakeRevo::AddEntry(const std::string& key, StoreEntry e) {
    std::lock_guard<std::mutex> l(mu_);
    entries_[key] = std::move(e);
}

std::vector<std::string> FakeRevo::Registrations() {
    std::lock_guard<std::mutex> l(mu_);
    return registrations_;
}

std::vector<std::string> FakeRevo::StoreLog() {
    std::lock_guard<std::mutex> l(mu_);
    return store_;
}

bool FakeRevo::WaitRegistrations(size_t n, int timeoutMs) {
    std::unique_lock<std::mutex> l(mu_);
    return cv_.wait_for(l, std::chrono::milliseconds(timeoutMs),
                        [&] { return registrations_.size() >= n; });
}

bool FakeRevo::WaitStoreLines(size_t n, int timeoutMs) {
    std::unique_lock<std::mutex> l(mu_);
    return cv_.wait_for(l, std::chrono::milliseconds(timeoutMs),
                        [&] { return store_.size() >= n; });
}

void FakeRevo::Serve(Conn& c) {
    static std::atomic<int> counter{0};
    std::string challenge =
        "<" + std::to_string(getpid()) + "." + std::to_string(++counter) + "@revo.test>";
    std::string line;
    if (requireAuth) {
        c.Send("4242 REVO ready " + challenge + " more\r\n");
        if (!c.ReadLine(line) || line.rfind("AUTH ", 0) != 0) return;
        std::string ch = challenge.substr(1, challenge.size() - 2);
        std::string secretNow;
        {
            std::lock_guard<std::mutex> l(mu_);
            secretNow = secret_;
        }
        if (line.substr(5) != DigestHex(ch, secretNow)) {
            ++authFailures_;
            c.Send("3242 Authentication failed\r\n");
            return;
        }
        c.Send("1000 OK\r\n");
    } else {
        c.Send("1000 REVO ready\r\n");
    }
    while (c.ReadLine(line, 20000)) {
        std::istringstream in(line);
        std::string verb;
        in >> verb;
        if (verb == "QWAIT") {
            std::lock_guard<std::mutex> l(mu_);
            registrations_.push_back(line);
            cv_.notify_all();
        } else {
            std::lock_guard<std::mutex> l(mu_);
            store_.push_back(line);
            cv_.notify_all();
        }
        {
            std::lock_guard<std::mutex> l(mu_);
            if (!dropAt.empty() && verb == dropAt) return;
        }
        std::string reply = "3000 Unknown command";
        if (verb == "QWAIT" || verb == "CSOPEN" || verb == "CSATND" || verb == "CSCOMP" ||
            verb == "CSDELE") {
            reply = "1000 OK";
        } else if (verb == "USER") {
            reply = refuseUsers ? "4100 No such user" : "1000 OK";
        } else if (verb == "CSFIND") {
            std::string seq, uid, inst;
            in >> seq >> uid >> inst;
            std::lock_guard<std::mutex> l(mu_);
            auto it = entries_.find(inst.empty() ? uid : uid + " " + inst);
            reply = it == entries_.end() ? "4220 No such entry"
                                         : "1000 " + std::to_string(it->second.number) + " found";
        } else if (verb == "CSORG") {
            unsigned long n = 0;
            in >> n;
            std::lock_guard<std::mutex> l(mu_);
            reply = "4220 No such entry";
            for (const auto& [k, e] : entries_)
                if (e.number == n) reply = "2001 " + e.organizer + " is the organizer";
        }
        if (!c.Send(reply + "\r\n")) return;
    }
}

// ---- queue side ----

EntryResult OfferEntry(int agentPort, const std::string& queueId,
                       const std::vector<std::string>& control,
                       const std::vector<std::string>& structure, const std::vector<Part>& parts,
                       const std::string& extraBeforeBody, const std::string& source) {
    EntryResult r;
    Conn c = Conn::Connect("127.0.7.1", agentPort, source);
    if (!c.Ok()) return r;
    size_t size = 0;
    for (const auto& l : control)
        size += l.size() + 2;
    std::string offer = "6020 " + queueId + " " + std::to_string(size) + "\r\n";
    for (const auto& l : control)
        offer += l + "\r\n";
    offer += "6021 End of control\r\n";
    c.Send(offer);

    // Parts follow each other in a message of invented offsets.
    std::vector<unsigned long> starts;
    unsigned long at = 400;
    for (const auto& p : parts) {
        starts.push_back(at);
        at += p.body.size() + 100;
    }
    std::string line;
    while (c.ReadLine(line)) {
        r.lines.push_back(line);
        if (line.rfind("QMIME ", 0) == 0) {
            std::string out;
            for (const auto& s : structure) {
                if (s[0] == 'P') {
                    size_t i = std::stoul(s.substr(1));
                    const Part& p = parts[i];
                    out += "2002 " + p.type + " " + p.subtype + " " + p.charset + " " + p.encoding +
                           " \"" + p.name + "\" " + std::to_string(starts[i]) + " " +
                           std::to_string(p.body.size()) + "\r\n";
                } else {
                    out += s + " end\r\n";
                }
            }
            c.Send(out + "1000 OK\r\n");
        } else if (line.rfind("QBRAW ", 0) == 0) {
            ++r.qbraw;
            std::istringstream in(line.substr(6));
            std::string id;
            unsigned long start = 0, len = 0;
            in >> id >> start >> len;
            std::string body;
            for (size_t i = 0; i < parts.size(); ++i)
                if (starts[i] == start) body = parts[i].body.substr(0, len);
            c.Send("2021 " + std::to_string(body.size()) + "\r\n" + extraBeforeBody + body);
        } else if (line.rfind("QMOD RAW ", 0) == 0) {
            r.qmod.push_back(line.substr(9));
        } else if (line == "QDONE") {
            r.done = true;
            c.Send("1000 Entry done\r\n");
            r.closed = c.WaitClosed();
            break;
        }
    }
    return r;
}

int ListeningPort(int pid) {
    // The process's socket inodes, then the listening one among them.
    std::vector<std::string> inodes;
    std::string fdDir = "/proc/" + std::to_string(pid) + "/fd";
    if (DIR* d = opendir(fdDir.c_str())) {
        while (dirent* e = readdir(d)) {
            char target[128];
            ssize_t n = readlink((fdDir + "/" + e->d_name).c_str(), target, sizeof target - 1);
            if (n <= 0) continue;
            std::string t(target, static_cast<size_t>(n));
            if (t.rfind("socket:[", 0) == 0) inodes.push_back(t.substr(8, t.size() - 9));
        }
        closedir(d);
    }
    std::istringstream in(ReadFile("/proc/" + std::to_string(pid) + "/net/tcp"));
    std::string line;
    std::getline(in, line); // heading
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string slot, local, remote, state, queues, timer, retr, uid, timeout, inode;
        f >> slot >> local >> remote >> state >> queues >> timer >> retr >> uid >> timeout >> inode;
        if (state != "0A") continue;
        for (const auto& i : inodes)
            if (i == inode) return static_cast<int>(std::stoul(local.substr(9), nullptr, 16));
    }
    return -1;
}

std::map<int, unsigned long long> BlockedSignals(int pid) {
    std::map<int, unsigned long long> masks;
    std::string taskDir = "/proc/" + std::to_string(pid) + "/task";
    if (DIR* d = opendir(taskDir.c_str())) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            std::istringstream in(ReadFile(taskDir + "/" + e->d_name + "/status"));
            std::string line;
            while (std::getline(in, line))
                if (line.rfind("SigBlk:", 0) == 0)
                    masks[std::atoi(e->d_name)] = std::stoull(line.substr(7), nullptr, 16);
        }
        closedir(d);
    }
    return masks;
}

std::string DigestHex(const std::string& challenge, const std::string& secret) {
    char out[REVO_DIGEST_TEXT_LEN + 1];
    RevoChallengeDigest(challenge.data(), challenge.size(),
                        reinterpret_cast<const unsigned char*>(secret.data()), secret.size(), out);
    return out;
}

} // namespace agenttest
