// text/wml: plain text escaped for a WML page.
#include "markup.h"

namespace lw {

uint32_t PlainToWml(LWStream* in, LWStream* out) {
    if (!Writable(out)) return 0;
    Out o(out);
    const size_t done = markup::PutEscaped(o, in->Start, InLen(in), markup::kWmlEscapes);
    return Finish(in, o, done, true);
}

} // namespace lw
