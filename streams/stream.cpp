// Chain mechanics: registry look-up, record allocation and the flush step.
#include "codec.h"

#include "ascii.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

// A record made by LWStreamCreate and its buffer share one block.
struct OwnedStream {
    LWStream rec;
    unsigned char buf[LWSTREAM_BUFSIZE];
};

} // namespace

extern "C" LWCodec LWStreamFindCodec(const char* name, int encode) {
    if (name == nullptr) return nullptr;
    for (const LWStreamEntry* e = LWStreamList; e->Name != nullptr; ++e) {
        if (arbor::EqualNoCase(e->Name, name)) return encode ? e->Encode : e->Decode;
    }
    return nullptr;
}

extern "C" LWStream* LWStreamCreate(const char* name, int encode) {
    LWCodec codec = LWStreamFindCodec(name, encode);
    if (codec == nullptr) return nullptr;
    auto* block = static_cast<OwnedStream*>(std::calloc(1, sizeof(OwnedStream)));
    if (block == nullptr) return nullptr;
    LWStream* s = &block->rec;
    s->Start = block->buf;
    s->End = block->buf + LWSTREAM_BUFSIZE;
    s->Codec = codec;
    return s;
}

extern "C" int LWStreamFree(LWStream* stream) {
    if (stream == nullptr) return 0;
    // The record is the first member of its block.
    std::free(reinterpret_cast<OwnedStream*>(stream));
    return 1;
}

extern "C" uint32_t LWStreamFlush(LWStream* out, int eos) {
    if (out == nullptr) return 0;
    if (eos) out->EOS = 1;
    if (out->Codec == nullptr) return 0;
    size_t len = lw::InLen(out);
    size_t n = out->Codec(out, out->Next);
    // Never trust a consumer (a host sink) to claim no more than it was given.
    if (n > len) n = len;
    size_t rest = len - n;
    if (n > 0 && rest > 0) std::memmove(out->Start, out->Start + n, rest);
    out->Len = static_cast<int32_t>(rest);
    return static_cast<uint32_t>(n);
}
