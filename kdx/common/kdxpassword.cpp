// The built-in password of the login object. It never sits whole in the
// binary: even and odd characters are kept in two masked tables (the even one
// reversed) and put together one character at a time when asked for.
#include "kdxcommon.h"

#include <cstring>

namespace {

// Masked even-position characters, last first.
const volatile unsigned char gKeepEven[8] = {0x38, 0x8B, 0x57, 0xD1, 0xA1, 0xBB, 0x30, 0x0E};

unsigned char MaskAt(int i) {
    return static_cast<unsigned char>(0x5A + 37 * i * i + 11 * i);
}

// Masked odd-position characters.
const volatile unsigned char gKeepOdd[7] = {0xF0, 0xE9, 0x78, 0x84, 0x20, 0x62, 0x1A};

} // namespace

extern "C" char KDXPasswordChar(int index) {
    if (index < 0 || index >= KDX_PASSWORD_LENGTH) return 0;
    unsigned char b = (index % 2 == 0) ? gKeepEven[7 - index / 2] : gKeepOdd[index / 2];
    return static_cast<char>(b ^ MaskAt(index));
}

extern "C" void KDXPasswordPlace(char* buf, int first, int count) {
    if (buf == nullptr) return;
    for (int i = first; i < first + count; ++i)
        if (i >= 0 && i < KDX_PASSWORD_LENGTH) buf[i] = KDXPasswordChar(i);
}

extern "C" int KDXPasswordCopy(char* buf, size_t size) {
    if (buf == nullptr || size < KDX_PASSWORD_LENGTH + 1) return 0;
    KDXPasswordPlace(buf, 0, KDX_PASSWORD_LENGTH);
    buf[KDX_PASSWORD_LENGTH] = '\0';
    return 1;
}
