// A queue offer to an agent, one method per command of the agent's, and
// what its outcome does to the entry.
#include "mime.h"
#include "server_internal.h"

#include <algorithm>
#include <mutex>
#include <optional>
#include <vector>

namespace revo {

using namespace detail;

// What an offer holds between the agent's commands.
struct Server::OfferState {
    int64_t id;
    int queue;
    std::string qid;
    LineConn& conn;
    std::string message;
    std::optional<std::vector<std::string>> structure; // QMIME's reply, made once
    ControlLines mods;
};

// Offers one entry to one agent: 6020, control lines, 6021, then the
// agent's commands up to QDONE. True when the agent finished with QDONE and
// the outcome was committed (and, after the last queue, delivered with it).
Server::Outcome Server::Offer(int64_t id, int queue, const AgentReg& agent) {
    constexpr Outcome kFailed = Outcome::Failed;
    ControlLines control;
    std::string message;
    if (!store_->Load(id, control, message)) return kFailed;
    std::string err;
    // From the address we serve on, when it is one: agents admit queue
    // connections only from the REVO servers their directory lists.
    const std::string source = cfg_.listen == "0.0.0.0" ? std::string() : cfg_.listen;
    int fd = ConnectTcp(agent.address, agent.port, 5000, err, source);
    if (fd < 0) {
        Log("offer " + std::to_string(id) + ": " + err);
        return Outcome::Unreachable;
    }
    LineConn conn(fd);
    TrackFd(fd, true);
    struct Untrack {
        Server* s;
        int fd;
        ~Untrack() { s->TrackFd(fd, false); }
    } untrack{this, fd};
    {
        std::lock_guard lock(mu_);
        if (stopping_) return kFailed;
    }
    SetTimeouts(fd, cfg_.offerTimeoutMs);
    OfferState o{id, queue, std::to_string(id), conn, std::move(message), {}, {}};
    if (!OfferEntry(o, control)) return kFailed;
    return OfferCommands(o);
}

// 6020 with the entry's id and its control lines' size, the lines, 6021.
bool Server::OfferEntry(OfferState& o, const ControlLines& control) {
    size_t size = 0;
    for (const auto& l : control)
        size += l.size() + 2;
    std::string out = Reply(REVO_QUEUE_OFFER, o.qid + " " + std::to_string(size));
    for (const auto& l : control)
        out += l + "\r\n";
    out += Reply(REVO_QUEUE_END_CONTROL, "End of control lines");
    return o.conn.SendAll(out);
}

// The agent's commands up to QDONE; false from a command ends the offer.
Server::Outcome Server::OfferCommands(OfferState& o) {
    std::string line;
    for (;;) {
        auto r = o.conn.ReadLine(line);
        if (r == LineConn::Read::Closed)
            return Outcome::Failed; // dropped before QDONE: the entry stays as it was
        bool ok;
        if (r == LineConn::Read::TooLong) {
            ok = o.conn.SendAll(Reply(REVO_ERR_LINE_TOO_LONG, "Line too long"));
        } else {
            std::string_view rest = line;
            const std::string cmd = Upper(NextWord(rest));
            if (cmd == "QDONE") return OfferQDone(o);
            if (cmd == "QMIME")
                ok = OfferQMime(o, rest);
            else if (cmd == "QBRAW")
                ok = OfferQBraw(o, rest);
            else if (cmd == "QMOD")
                ok = OfferQMod(o, line);
            else
                ok = o.conn.SendAll(Reply(REVO_ERR_UNKNOWN_COMMAND, "Unknown command"));
        }
        if (!ok) return Outcome::Failed;
    }
}

// QMIME id: the message's structure lines, then 1000.
bool Server::OfferQMime(OfferState& o, std::string_view args) {
    if (NextWord(args) != o.qid)
        return o.conn.SendAll(Reply(REVO_ERR_NO_SUCH_QUEUE_ENTRY, "No such queue entry"));
    if (!o.structure) o.structure = StructureLines(ParseMime(o.message));
    std::string reply;
    for (const auto& s : *o.structure)
        reply += s + "\r\n";
    reply += Reply(REVO_OK, "End of structure");
    return o.conn.SendAll(reply);
}

// QBRAW id start length: 2021 length, then that range of the message.
bool Server::OfferQBraw(OfferState& o, std::string_view args) {
    if (NextWord(args) != o.qid)
        return o.conn.SendAll(Reply(REVO_ERR_NO_SUCH_QUEUE_ENTRY, "No such queue entry"));
    uint64_t start, length;
    if (!ParseU64(NextWord(args), start) || !ParseU64(NextWord(args), length) || !args.empty())
        return o.conn.SendAll(Reply(REVO_ERR_SYNTAX, "Syntax: QBRAW id start length"));
    if (start > o.message.size() || length > o.message.size() - start)
        return o.conn.SendAll(Reply(REVO_ERR_RANGE, "Range outside the message"));
    std::string reply = Reply(REVO_BYTES_FOLLOW, std::to_string(length));
    reply.append(o.message, start, length);
    return o.conn.SendAll(reply);
}

// "QMOD RAW <line>": the line is everything after "RAW ", as sent. No reply:
// agents send these back to back.
bool Server::OfferQMod(OfferState& o, const std::string& line) {
    if (line.size() > 9 && EqualNoCase(std::string_view(line).substr(0, 9), "QMOD RAW ") &&
        ValidControlLine(std::string_view(line).substr(9)) && o.mods.size() < kMaxModLines)
        o.mods.push_back(line.substr(9));
    return true;
}

// QDONE: the entry passes to the next queue, or is delivered after the last,
// with the agent's control lines if it sent any.
Server::Outcome Server::OfferQDone(OfferState& o) {
    // No QMOD RAW line at all means the agent left the entry alone.
    const ControlLines* changed = o.mods.empty() ? nullptr : &o.mods;
    Outcome outcome = Outcome::Failed;
    if (LastQueue(o.queue))
        outcome = store_->PassAndDeliver(o.id, changed) ? Outcome::Delivered : Outcome::Failed;
    else
        outcome = store_->Pass(o.id, o.queue + 1, changed) ? Outcome::Passed : Outcome::Failed;
    o.conn.SendAll(outcome != Outcome::Failed ? Reply(REVO_OK, "Entry done")
                                              : Reply(REVO_ERR_STORE, "Store failure"));
    return outcome;
}

// An agent that cannot be reached (down, restarting) gets its entries held
// for holdTimeMs, retried with a doubling delay; one that takes an offer and
// fails it maxFailedOffers times is broken for that entry, which passes on.
void Server::OfferDone(int64_t id, int queue, Outcome outcome) {
    const bool ok = outcome == Outcome::Passed || outcome == Outcome::Delivered;
    const bool unreachable = outcome == Outcome::Unreachable;
    int attempts = 0;
    bool pass = false;
    int64_t delay = 0;
    {
        std::lock_guard lock(mu_);
        auto it = items_.find(id);
        if (ok || it == items_.end() || stopping_) {
            if (outcome == Outcome::Delivered)
                items_.erase(id);
            else if (ok && it != items_.end())
                Enqueue(id, queue + 1, 0);
            if (ok && !stopping_) ReleaseHeld(queue); // the agent answers again
            --offers_;
            // The worker starts what is ready now; only stopping needs the dispatcher.
            if (!ok) wake_.notify_all();
            idle_.notify_all();
            return;
        }
        Item& item = it->second;
        const auto now = Clock::now();
        if (item.failures++ == 0) item.failingSince = now;
        attempts = item.attempts;
        if (unreachable)
            pass = now - item.failingSince >= milliseconds(cfg_.holdTimeMs);
        else
            pass = ++attempts >= cfg_.maxFailedOffers;
        delay = std::min<int64_t>(cfg_.maxRetryDelayMs,
                                  int64_t{cfg_.retryDelayMs} << std::min(item.failures - 1, 30));
    }
    if (pass) {
        // Mail keeps flowing past a broken or long-gone agent.
        Log("entry " + std::to_string(id) + " passes queue " + std::to_string(queue) +
            " unchanged: " +
            (unreachable ? "agent unreachable for the hold time"
                         : "after " + std::to_string(attempts) + " failed offers"));
        pass = store_->Pass(id, queue + 1, nullptr);
    } else if (!unreachable) {
        store_->SetAttempts(id, attempts);
    }
    std::lock_guard lock(mu_);
    if (pass) {
        Enqueue(id, queue + 1, 0);
    } else {
        auto& it = items_[id];
        it.attempts = attempts;
        it.inFlight = false;
        it.heldFor = queue;
        delayed_.emplace(Clock::now() + milliseconds(delay), id);
    }
    --offers_;
    wake_.notify_all();
    idle_.notify_all();
}

} // namespace revo
