// The B encoding of encoded words: base64 on one line. Its decoder is the
// base64 decoder itself.
#include "codec.h"

namespace lw {

// No line breaks; flushed at the end of every call, like the base64 encoder.
uint32_t WordBEncode(LWStream* in, LWStream* out) {
    return Base64EncodeRun(in, out, false);
}

} // namespace lw
