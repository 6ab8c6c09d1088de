// Test chains: a feeder that delivers input in chosen pieces, the codecs
// under test, and a sink that collects into a std::string.
#pragma once

#include "lwstream.h"

#include <cstring>
#include <memory>
#include <random>
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

    // Delivers input in pieces of the given sizes (the rest as one last piece),
    // each piece split further only where the head's buffer is full, and marks
    // the end of the stream with the last byte.
    std::string Feed(std::string_view input, const std::vector<size_t>& pieces = {}) {
        LWStream* h = Head();
        size_t pos = 0, p = 0;
        if (input.empty()) {
            LWStreamFlush(h, 1);
            return out_;
        }
        while (pos < input.size()) {
            size_t piece = p < pieces.size() ? pieces[p++] : input.size() - pos;
            if (piece == 0) piece = 1;
            piece = std::min(piece, input.size() - pos);
            size_t end = pos + piece;
            while (pos < end) {
                size_t room = static_cast<size_t>(h->End - h->Start - h->Len);
                size_t n = std::min(room, end - pos);
                if (n == 0) return out_ + "<stalled>";
                std::memcpy(h->Start + h->Len, input.data() + pos, n);
                h->Len += static_cast<int32_t>(n);
                pos += n;
                LWStreamFlush(h, pos == input.size());
            }
        }
        return out_;
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

} // namespace lwtest
