// Test chains: a feeder that delivers input in chosen pieces, the codecs
// under test, and a sink that collects into a std::string.
#pragma once

#include "lwstream.h"

#include <iconv.h>

#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace lwtest {

inline uint32_t StringSink(LWStream* in, LWStream*) {
    auto* s = static_cast<std::string*>(in->Data);
    s->append(reinterpret_cast<const char*>(in->Start), static_cast<size_t>(in->Len));
    ++in->Count; // number of flushes seen
    return static_cast<uint32_t>(in->Len);
}

struct StreamDeleter {
    void operator()(LWStream* s) const { LWStreamFree(s); }
};
using StreamPtr = std::unique_ptr<LWStream, StreamDeleter>;

// A sink that never consumes anything: codecs must give up rather than spin.
struct RefusingSink : LWStream {
    unsigned char buf[LWSTREAM_BUFSIZE];
    RefusingSink() : LWStream{} {
        Start = buf;
        End = buf + sizeof buf;
        Codec = [](LWStream*, LWStream*) -> uint32_t { return 0; };
    }
};

// One call of head's codec into head->Next on in (which fits head's
// buffer); what it consumed.
inline uint32_t CallOnce(LWStream* head, std::string_view in, bool eos) {
    std::memcpy(head->Start, in.data(), in.size());
    head->Len = static_cast<int32_t>(in.size());
    head->EOS = eos;
    return head->Codec(head, head->Next);
}

// Appends in to head's buffer (it must fit there) and flushes it; what the
// flush returned.
inline uint32_t Put(LWStream* head, std::string_view in, bool eos) {
    std::memcpy(head->Start + head->Len, in.data(), in.size());
    head->Len += static_cast<int32_t>(in.size());
    return LWStreamFlush(head, eos);
}

// Delivers input to head in pieces of the given sizes (the rest as one last
// piece), each piece split further only where the head's buffer is full, and
// marks the end of the stream with the last byte; false when the head stopped
// taking input.
inline bool FeedStream(LWStream* h, std::string_view input,
                       const std::vector<size_t>& pieces = {}) {
    size_t pos = 0, p = 0;
    if (input.empty()) {
        LWStreamFlush(h, 1);
        return true;
    }
    while (pos < input.size()) {
        size_t piece = p < pieces.size() ? pieces[p++] : input.size() - pos;
        if (piece == 0) piece = 1;
        piece = std::min(piece, input.size() - pos);
        size_t end = pos + piece;
        while (pos < end) {
            size_t room = static_cast<size_t>(h->End - h->Start - h->Len);
            size_t n = std::min(room, end - pos);
            if (n == 0) return false;
            std::memcpy(h->Start + h->Len, input.data() + pos, n);
            h->Len += static_cast<int32_t>(n);
            pos += n;
            LWStreamFlush(h, pos == input.size());
        }
    }
    return true;
}

// A chain of registry codecs ending in a string sink.
class Chain {
  public:
    // stages: (name, encode) pairs, applied in order.
    explicit Chain(std::vector<std::pair<std::string, int>> stages) {
        for (auto& [name, enc] : stages)
            stages_.emplace_back(LWStreamCreate(name.c_str(), enc));
        sink_.Start = sinkbuf_;
        sink_.End = sinkbuf_ + LWSTREAM_BUFSIZE;
        sink_.Codec = StringSink;
        sink_.Data = &out_;
        for (size_t i = 0; i < stages_.size(); ++i) {
            if (stages_[i])
                stages_[i]->Next = i + 1 < stages_.size() ? stages_[i + 1].get() : &sink_;
        }
    }
    bool Ok() const {
        for (auto& s : stages_)
            if (!s) return false;
        return !stages_.empty();
    }
    LWStream* Head() { return stages_.front().get(); }
    LWStream& Sink() { return sink_; }
    const std::string& Output() const { return out_; }

    // Feeds input to the head (see FeedStream); the output so far, with
    // "<stalled>" appended when the head stopped taking input.
    std::string Feed(std::string_view input, const std::vector<size_t>& pieces = {}) {
        return FeedStream(Head(), input, pieces) ? out_ : out_ + "<stalled>";
    }

  private:
    std::vector<StreamPtr> stages_;
    LWStream sink_{};
    unsigned char sinkbuf_[LWSTREAM_BUFSIZE];
    std::string out_;
};

inline std::string RunCodec(const std::string& name, int encode, std::string_view input,
                            const std::vector<size_t>& pieces = {}) {
    Chain c({{name, encode}});
    if (!c.Ok()) return "<no codec>";
    return c.Feed(input, pieces);
}

// Decodes and encodes with one registry codec.
inline std::string Dec(const std::string& name, std::string_view in,
                       const std::vector<size_t>& pieces = {}) {
    return RunCodec(name, 0, in, pieces);
}
inline std::string Enc(const std::string& name, std::string_view in,
                       const std::vector<size_t>& pieces = {}) {
    return RunCodec(name, 1, in, pieces);
}

// Every name of a group (a character set's names, canonical first) leads to
// the same pair of codecs, and distinct groups have distinct ones; false
// when they do not (the first difference in why).
inline bool NamesShareTheirSetsCodecs(const std::vector<std::vector<const char*>>& groups,
                                      std::string& why) {
    std::set<LWCodec> seen;
    for (const auto& g : groups) {
        const LWCodec dec = LWStreamFindCodec(g[0], 0), enc = LWStreamFindCodec(g[0], 1);
        // A set may decode and encode with one function (UTF-8, US-ASCII).
        const bool fresh = seen.insert(dec).second && (enc == dec || seen.insert(enc).second);
        if (!dec || !enc || !fresh) {
            why = std::string("codecs of ") + g[0];
            return false;
        }
        for (const char* name : g)
            if (LWStreamFindCodec(name, 0) != dec || LWStreamFindCodec(name, 1) != enc) {
                why = name;
                return false;
            }
    }
    return true;
}

// The encoded-word producer with charset as its character set.
inline std::string Produce(const char* charset, std::string_view in,
                           const std::vector<size_t>& pieces = {}) {
    Chain c({{"RFC1522", 1}});
    c.Head()->Param = const_cast<char*>(charset);
    return c.Feed(in, pieces);
}

inline std::vector<size_t> Uniform(size_t size, size_t len) {
    return std::vector<size_t>(len / size + 1, size);
}

inline std::vector<size_t> RandomPieces(std::mt19937& rng, size_t len, size_t maxPiece) {
    std::vector<size_t> v;
    std::uniform_int_distribution<size_t> d(1, maxPiece);
    for (size_t total = 0; total < len;) {
        v.push_back(d(rng));
        total += v.back();
    }
    return v;
}

// iconv's conversion of `in` to UTF-8; "<invalid>" when it fails, "<no iconv>"
// when it lacks the set.
inline std::string IconvToUtf8(const char* set, const std::string& in) {
    iconv_t cd = iconv_open("UTF-8", set);
    if (cd == reinterpret_cast<iconv_t>(-1)) return "<no iconv>";
    std::string out(16 + in.size() * 4, '\0');
    char* ip = const_cast<char*>(in.data());
    size_t il = in.size();
    char* op = out.data();
    size_t ol = out.size();
    size_t r = iconv(cd, &ip, &il, &op, &ol);
    if (r != static_cast<size_t>(-1)) r = iconv(cd, nullptr, nullptr, &op, &ol);
    iconv_close(cd);
    if (r == static_cast<size_t>(-1) || il != 0) return "<invalid>";
    out.resize(out.size() - ol);
    return out;
}

// Outside the full-buffer cases a codec's output does not depend on where
// its input was cut. The first cut of size bytes (two pieces at every point,
// then pieces of 1 to 9 bytes) for which run(pieces) differs from the uncut
// run, or "" when there is none.
template <class Run> std::string FirstCutThatDiffers(Run run, size_t size) {
    const std::string whole = run(std::vector<size_t>{});
    if (whole.find("<stalled>") != std::string::npos) return "stalled uncut";
    for (size_t k = 1; k < size; ++k)
        if (run(std::vector<size_t>{k}) != whole) return "cut at " + std::to_string(k);
    for (size_t k = 1; k <= 9; ++k)
        if (run(Uniform(k, size)) != whole) return "pieces of " + std::to_string(k);
    return "";
}

// The same for one registry codec.
inline std::string FirstCutThatDiffers(const std::string& name, int encode, std::string_view in) {
    return FirstCutThatDiffers(
        [&](const std::vector<size_t>& p) { return RunCodec(name, encode, in, p); }, in.size());
}

} // namespace lwtest
