#include "peer.h"

#include "revo_secret.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace agenttest {

Conn::~Conn() {
    close();
}

void Conn::close() {
    if (fd_ != -1) ::close(fd_);
    fd_ = -1;
}

Conn Conn::connectTo(const std::string& addr, int port, const std::string& source) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (!source.empty()) {
        sockaddr_in s{};
        s.sin_family = AF_INET;
        inet_pton(AF_INET, source.c_str(), &s.sin_addr);
        if (bind(fd, reinterpret_cast<sockaddr*>(&s), sizeof s) != 0) {
            ::close(fd);
            return Conn(-1);
        }
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, addr.c_str(), &a.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return Conn(-1);
    }
    return Conn(fd);
}

bool Conn::send(const std::string& s) {
    size_t off = 0;
    while (off < s.size()) {
        ssize_t n = ::send(fd_, s.data() + off, s.size() - off, MSG_NOSIGNAL);
        if (n <= 0) return false;
        off += static_cast<size_t>(n);
    }
    return true;
}

bool Conn::fill(int timeoutMs) {
    if (fd_ == -1) return false;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return false;
    char b[4096];
    ssize_t n = recv(fd_, b, sizeof b, 0);
    if (n <= 0) return false;
    buf_.append(b, static_cast<size_t>(n));
    return true;
}

bool Conn::readLine(std::string& line, int timeoutMs) {
    for (;;) {
        size_t lf = buf_.find('\n');
        if (lf != std::string::npos) {
            line = buf_.substr(0, lf);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            buf_.erase(0, lf + 1);
            return true;
        }
        if (!fill(timeoutMs)) return false;
    }
}

bool Conn::readBytes(std::string& out, size_t n, int timeoutMs) {
    while (buf_.size() < n)
        if (!fill(timeoutMs)) return false;
    out = buf_.substr(0, n);
    buf_.erase(0, n);
    return true;
}

bool Conn::waitClosed(int timeoutMs) {
    if (fd_ == -1) return true;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return false;
    char b[256];
    return recv(fd_, b, sizeof b, 0) <= 0;
}

Process::~Process() {
    if (pid_ > 0 && running()) {
        signal(SIGKILL);
        wait(5000);
    }
}

void Process::start(const std::string& path, const std::vector<std::string>& args,
                    const std::map<std::string, std::string>& env, const std::string& outFile) {
    pid_ = fork();
    if (pid_ == 0) {
        int fd = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
            ::close(fd);
        }
        for (const auto& [k, v] : env)
            setenv(k.c_str(), v.c_str(), 1);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(path.c_str()));
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(path.c_str(), argv.data());
        _exit(127);
    }
}

bool Process::running() {
    if (pid_ <= 0) return false;
    int st;
    pid_t r = waitpid(pid_, &st, WNOHANG);
    if (r == 0) return true;
    if (r == pid_) status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -WTERMSIG(st);
    pid_ = -1;
    return false;
}

void Process::signal(int sig) {
    if (pid_ > 0) kill(pid_, sig);
}

int Process::wait(int timeoutMs) {
    if (pid_ <= 0) return status_;
    for (int waited = 0; waited <= timeoutMs; waited += 20) {
        int st;
        pid_t r = waitpid(pid_, &st, WNOHANG);
        if (r == pid_) {
            pid_ = -1;
            return WIFEXITED(st) ? WEXITSTATUS(st) : -WTERMSIG(st);
        }
        if (r < 0) {
            pid_ = -1;
            return -1000;
        }
        usleep(20000);
    }
    return -1000;
}

std::string readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void expectNoSanitizerReport(const std::string& outFile) {
    std::string out = readFile(outFile);
    for (const char* mark : {"WARNING: ThreadSanitizer", "ERROR: AddressSanitizer",
                             "ERROR: LeakSanitizer", "runtime error:"})
        if (out.find(mark) != std::string::npos) ADD_FAILURE() << outFile << ":\n" << out;
}

std::string buildDir() {
    const char* b = getenv("ARBOR_BUILD_DIR");
    return b ? b : ".";
}

std::string makeTempDir() {
    char tmpl[] = "/tmp/dayward-test-XXXXXX";
    char* d = mkdtemp(tmpl);
    return d ? d : "";
}

void removeTree(const std::string& path) {
    if (path.empty()) return;
    nftw(
        path.c_str(),
        [](const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

int run(const std::string& cmd, std::string* out) {
    FILE* f = popen((cmd + " 2>&1").c_str(), "r");
    if (!f) return -1;
    std::string o;
    char b[4096];
    size_t n;
    while ((n = fread(b, 1, sizeof b, f)) > 0)
        o.append(b, n);
    int st = pclose(f);
    if (out) *out = o;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// ---- scripted REVO server ----

FakeRevo::FakeRevo(const std::string& addr, int port) {
    unsigned char s[REVO_SECRET_BYTES + 1];
    RevoUnscrambleSecret(REVO_DEFAULT_SECRET_TEXT, s);
    secret_.assign(reinterpret_cast<char*>(s), RevoSecretLength(s));

    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, addr.c_str(), &a.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 64) != 0) {
        ::close(fd);
        return;
    }
    listenFd_ = fd;
    acceptor_ = std::thread([this] { acceptLoop(); });
}

FakeRevo::~FakeRevo() {
    stop_ = true;
    if (listenFd_ != -1) shutdown(listenFd_, SHUT_RDWR);
    if (acceptor_.joinable()) acceptor_.join();
    if (listenFd_ != -1) ::close(listenFd_);
    std::vector<std::thread> s;
    {
        std::lock_guard<std::mutex> l(mu_);
        s.swap(sessions_);
    }
    for (auto& t : s)
        t.join();
}

void FakeRevo::acceptLoop() {
    while (!stop_) {
        pollfd p{listenFd_, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        int fd = accept(listenFd_, nullptr, nullptr);
        if (fd < 0) continue;
        std::lock_guard<std::mutex> l(mu_);
        sessions_.emplace_back([this, fd] { serve(Conn(fd)); });
    }
}

void FakeRevo::setSecret(const std::string& s) {
    std::lock_guard<std::mutex> l(mu_);
    secret_ = s;
}

void FakeRevo::addEntry(const std::string& key, StoreEntry e) {
    std::lock_guard<std::mutex> l(mu_);
    entries_[key] = std::move(e);
}

std::vector<std::string> FakeRevo::registrations() {
    std::lock_guard<std::mutex> l(mu_);
    return registrations_;
}

std::vector<std::string> FakeRevo::storeLog() {
    std::lock_guard<std::mutex> l(mu_);
    return store_;
}

bool FakeRevo::waitRegistrations(size_t n, int timeoutMs) {
    std::unique_lock<std::mutex> l(mu_);
    return cv_.wait_for(l, std::chrono::milliseconds(timeoutMs),
                        [&] { return registrations_.size() >= n; });
}

bool FakeRevo::waitStoreLines(size_t n, int timeoutMs) {
    std::unique_lock<std::mutex> l(mu_);
    return cv_.wait_for(l, std::chrono::milliseconds(timeoutMs),
                        [&] { return store_.size() >= n; });
}

void FakeRevo::serve(Conn c) {
    static std::atomic<int> counter{0};
    std::string challenge =
        "<" + std::to_string(getpid()) + "." + std::to_string(++counter) + "@revo.test>";
    std::string line;
    if (requireAuth) {
        c.send("4242 REVO ready " + challenge + " more\r\n");
        if (!c.readLine(line) || line.rfind("AUTH ", 0) != 0) return;
        std::string ch = challenge.substr(1, challenge.size() - 2);
        std::string secretNow;
        {
            std::lock_guard<std::mutex> l(mu_);
            secretNow = secret_;
        }
        if (line.substr(5) != digestHex(ch, secretNow)) {
            ++authFailures_;
            c.send("3242 Authentication failed\r\n");
            return;
        }
        c.send("1000 OK\r\n");
    } else {
        c.send("1000 REVO ready\r\n");
    }
    while (c.readLine(line, 20000)) {
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
        if (!c.send(reply + "\r\n")) return;
    }
}

// ---- queue side ----

EntryResult offerEntry(int agentPort, const std::string& queueId,
                       const std::vector<std::string>& control,
                       const std::vector<std::string>& structure, const std::vector<Part>& parts,
                       const std::string& extraBeforeBody, const std::string& source) {
    EntryResult r;
    Conn c = Conn::connectTo("127.0.7.1", agentPort, source);
    if (!c.ok()) return r;
    size_t size = 0;
    for (const auto& l : control)
        size += l.size() + 2;
    std::string offer = "6020 " + queueId + " " + std::to_string(size) + "\r\n";
    for (const auto& l : control)
        offer += l + "\r\n";
    offer += "6021 End of control\r\n";
    c.send(offer);

    // Parts follow each other in a message of invented offsets.
    std::vector<unsigned long> starts;
    unsigned long at = 400;
    for (const auto& p : parts) {
        starts.push_back(at);
        at += p.body.size() + 100;
    }
    std::string line;
    while (c.readLine(line)) {
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
            c.send(out + "1000 OK\r\n");
        } else if (line.rfind("QBRAW ", 0) == 0) {
            ++r.qbraw;
            std::istringstream in(line.substr(6));
            std::string id;
            unsigned long start = 0, len = 0;
            in >> id >> start >> len;
            std::string body;
            for (size_t i = 0; i < parts.size(); ++i)
                if (starts[i] == start) body = parts[i].body.substr(0, len);
            c.send("2021 " + std::to_string(body.size()) + "\r\n" + extraBeforeBody + body);
        } else if (line.rfind("QMOD RAW ", 0) == 0) {
            r.qmod.push_back(line.substr(9));
        } else if (line == "QDONE") {
            r.done = true;
            c.send("1000 Entry done\r\n");
            r.closed = c.waitClosed();
            break;
        }
    }
    return r;
}

int listeningPort(int pid) {
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
    std::istringstream in(readFile("/proc/" + std::to_string(pid) + "/net/tcp"));
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

std::map<int, unsigned long long> blockedSignals(int pid) {
    std::map<int, unsigned long long> masks;
    std::string taskDir = "/proc/" + std::to_string(pid) + "/task";
    if (DIR* d = opendir(taskDir.c_str())) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            std::istringstream in(readFile(taskDir + "/" + e->d_name + "/status"));
            std::string line;
            while (std::getline(in, line))
                if (line.rfind("SigBlk:", 0) == 0)
                    masks[std::atoi(e->d_name)] = std::stoull(line.substr(7), nullptr, 16);
        }
        closedir(d);
    }
    return masks;
}

std::string base64(const std::string& in) {
    static const char* t = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string o;
    size_t col = 0;
    for (size_t i = 0; i < in.size(); i += 3) {
        unsigned v = static_cast<unsigned char>(in[i]) << 16;
        if (i + 1 < in.size()) v |= static_cast<unsigned char>(in[i + 1]) << 8;
        if (i + 2 < in.size()) v |= static_cast<unsigned char>(in[i + 2]);
        o += t[(v >> 18) & 63];
        o += t[(v >> 12) & 63];
        o += i + 1 < in.size() ? t[(v >> 6) & 63] : '=';
        o += i + 2 < in.size() ? t[v & 63] : '=';
        if ((col += 4) == 76) {
            o += "\r\n";
            col = 0;
        }
    }
    return o + "\r\n";
}

std::string quotedPrintable(const std::string& in) {
    std::string o;
    size_t col = 0;
    for (size_t i = 0; i < in.size(); ++i) {
        unsigned char ch = static_cast<unsigned char>(in[i]);
        if (ch == '\r' && i + 1 < in.size() && in[i + 1] == '\n') {
            o += "\r\n";
            ++i;
            col = 0;
            continue;
        }
        std::string piece;
        if (ch == '=' || ch >= 127 || (ch < 32 && ch != '\t')) {
            char b[4];
            snprintf(b, sizeof b, "=%02X", ch);
            piece = b;
        } else {
            piece = std::string(1, static_cast<char>(ch));
        }
        if (col + piece.size() > 72) {
            o += "=\r\n";
            col = 0;
        }
        o += piece;
        col += piece.size();
    }
    return o;
}

std::string digestHex(const std::string& challenge, const std::string& secret) {
    char out[REVO_DIGEST_TEXT_LEN + 1];
    RevoChallengeDigest(challenge.data(), challenge.size(),
                        reinterpret_cast<const unsigned char*>(secret.data()), secret.size(), out);
    return out;
}

} // namespace agenttest
