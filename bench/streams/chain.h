// What the stream benchmarks share: a chain from memory through one codec
// into memory, iconv over the same text, and timing both in turn.
#pragma once

#include "lwstream.h"

#include <benchmark/benchmark.h>
#include <iconv.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace benchchain {

using Clock = std::chrono::steady_clock;

// Source: delivers a memory block into its Next's buffer in pieces as large
// as the buffer allows, marking the end before the last piece.
struct Source {
    const unsigned char* data;
    size_t left;
};

inline uint32_t FromMemory(LWStream* s, LWStream* next) {
    auto* src = static_cast<Source*>(s->Data);
    while (src->left > 0) {
        size_t room = static_cast<size_t>(next->End - next->Start - next->Len);
        size_t n = std::min(room, src->left);
        std::memcpy(next->Start + next->Len, src->data, n);
        next->Len += static_cast<int32_t>(n);
        src->data += n;
        src->left -= n;
        LWStreamFlush(next, src->left == 0);
    }
    return 0;
}

// The agent's memory sink: grows the collected block piece by piece.
inline uint32_t ToMemory(LWStream* s, LWStream*) {
    void* grown = std::realloc(s->Data, static_cast<size_t>(s->Count + s->Len + 1));
    if (grown == nullptr) {
        std::free(s->Data);
        s->Data = nullptr;
        return static_cast<uint32_t>(s->Len);
    }
    std::memcpy(static_cast<char*>(grown) + s->Count, s->Start, static_cast<size_t>(s->Len));
    s->Data = grown;
    s->Count += s->Len;
    return static_cast<uint32_t>(s->Len);
}

// A sink into a preallocated block, as iconv gets one: Data is the block,
// Count the bytes collected, Client the block's size.
inline uint32_t ToBuffer(LWStream* s, LWStream*) {
    size_t n = std::min(static_cast<size_t>(s->Len), s->Client - static_cast<size_t>(s->Count));
    std::memcpy(static_cast<char*>(s->Data) + s->Count, s->Start, n);
    s->Count += static_cast<int32_t>(n);
    return static_cast<uint32_t>(s->Len);
}

// Runs source -> codec -> sink once; returns the bytes collected. Without a
// block the sink is the agent's growing memory sink; url gives a markup
// filter the host's link prefixes.
inline size_t RunChain(LWCodec codec, const std::string& in, std::vector<char>* block = nullptr,
                       const char* url = nullptr) {
    static unsigned char dbuf[LWSTREAM_BUFSIZE], mbuf[LWSTREAM_BUFSIZE];
    Source src{reinterpret_cast<const unsigned char*>(in.data()), in.size()};
    LWStream s{}, d{}, m{};
    m.Start = mbuf;
    m.End = mbuf + sizeof mbuf;
    m.Codec = ToMemory;
    if (block != nullptr) {
        m.Codec = ToBuffer;
        m.Data = block->data();
        m.Client = block->size();
    }
    d.Start = dbuf;
    d.End = dbuf + sizeof dbuf;
    d.Codec = codec;
    d.URL = url;
    d.Next = &m;
    s.Codec = FromMemory;
    s.Data = &src;
    s.Next = &d;
    s.Codec(&s, &d);
    size_t n = static_cast<size_t>(m.Count);
    if (block == nullptr) std::free(m.Data);
    return n;
}

// Running text of at least size bytes in CR LF lines of about 72 columns:
// each word appended by word(rng, out, atLineStart), then a space or the
// line's end.
template <class Word> std::string Prose(size_t size, unsigned seed, Word word) {
    std::mt19937 rng(seed);
    std::string out;
    size_t column = 0;
    while (out.size() < size) {
        const size_t before = out.size();
        word(rng, out, column == 0);
        column += out.size() - before + 1;
        if (column > 70) {
            out += "\r\n";
            column = 0;
        } else {
            out += ' ';
        }
    }
    return out;
}

inline double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// Times `ours` and `base` alternately; reports ours as the benchmark's time
// and the rate ratio as a counter.
template <class Ours, class Base>
void Compare(benchmark::State& state, size_t bytes, const char* counter, Ours ours, Base base) {
    double tOurs = 0, tBase = 0;
    for (auto _ : state) {
        auto t0 = Clock::now();
        benchmark::DoNotOptimize(ours());
        auto t1 = Clock::now();
        benchmark::DoNotOptimize(base());
        auto t2 = Clock::now();
        tOurs += Seconds(t1 - t0);
        tBase += Seconds(t2 - t1);
        state.SetIterationTime(Seconds(t1 - t0));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
    state.counters[counter] = tOurs > 0 ? tBase / tOurs : 0;
}

inline size_t Iconv(iconv_t cd, const std::string& in, std::vector<char>& out) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char* ip = const_cast<char*>(in.data());
    size_t il = in.size();
    char* op = out.data();
    size_t ol = out.size();
    iconv(cd, &ip, &il, &op, &ol);
    return out.size() - ol;
}

} // namespace benchchain
