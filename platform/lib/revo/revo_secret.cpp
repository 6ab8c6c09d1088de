// REVO shared secret: digit orders, scrambling and the AUTH digest.
#include "revo_secret.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace {

constexpr int kOrders = 8;
constexpr int kPositions = 2 * REVO_SECRET_BYTES;

// For each selector group, the text positions (1..31) of the high and the
// low digit of result bytes 0 to 7, in that order. Each row names 16
// distinct positions; the other 15 carry filler. Changing a row changes the
// secret every stored "Quill:ACL" value stands for, on both sides.
constexpr std::array<std::array<uint8_t, kPositions>, kOrders> kDigitOrders = {{
    {13, 25, 5, 27, 3, 14, 26, 23, 1, 28, 30, 7, 24, 10, 16, 21},   // "1", "3"
    {9, 8, 24, 12, 10, 31, 21, 20, 13, 4, 18, 17, 26, 16, 14, 3},   // "2", "a"
    {27, 17, 15, 16, 23, 26, 18, 19, 8, 25, 4, 12, 30, 10, 21, 31}, // "4", "f"
    {4, 18, 9, 29, 12, 13, 26, 11, 23, 15, 6, 7, 2, 14, 31, 3},     // "5", "7"
    {18, 10, 27, 26, 22, 2, 20, 30, 8, 21, 19, 16, 9, 23, 24, 3},   // "6", "c"
    {23, 9, 11, 26, 19, 22, 13, 15, 16, 24, 21, 25, 27, 29, 14, 5}, // "8", "e"
    {13, 12, 3, 10, 2, 4, 27, 21, 19, 18, 24, 14, 29, 9, 26, 6},    // "9"
    {13, 29, 26, 2, 12, 14, 21, 1, 20, 17, 30, 4, 22, 9, 15, 18},   // "b", "d"
}};

// Order index for a selector character, -1 when it selects none. Only the
// lower-case forms select: the stored text is lower-case hexadecimal.
int OrderFor(char c) {
    switch (c) {
    case '1':
    case '3':
        return 0;
    case '2':
    case 'a':
        return 1;
    case '4':
    case 'f':
        return 2;
    case '5':
    case '7':
        return 3;
    case '6':
    case 'c':
        return 4;
    case '8':
    case 'e':
        return 5;
    case '9':
        return 6;
    case 'b':
    case 'd':
        return 7;
    default:
        return -1;
    }
}

// Value of a digit character by the historical rule: code - '0' below 'a',
// code - 'a' + 10 otherwise (no validation; the result is taken modulo 256).
unsigned DigitValue(char c) {
    auto u = static_cast<unsigned char>(c);
    return u < 'a' ? u - '0' : u - 'a' + 10;
}

constexpr char kHex[] = "0123456789abcdef";

} // namespace

extern "C" int RevoUnscrambleSecret(const char* text, unsigned char out[REVO_SECRET_BYTES + 1]) {
    if (text == nullptr || text[0] == '\0') return 0;
    // Only the 32 characters that can matter are looked at; a shorter text
    // is not read past its NUL.
    const size_t len = strnlen(text, REVO_SECRET_TEXT_LEN);
    auto digit = [&](unsigned pos) { return pos < len ? DigitValue(text[pos]) : 0u; };
    const int order = OrderFor(text[0]);
    for (int i = 0; i < REVO_SECRET_BYTES; ++i) {
        if (order < 0) {
            out[i] = 0;
            continue;
        }
        const auto& row = kDigitOrders[static_cast<size_t>(order)];
        out[i] = static_cast<unsigned char>(16 * digit(row[2 * i]) + digit(row[2 * i + 1]));
    }
    out[REVO_SECRET_BYTES] = 0;
    return 1;
}

extern "C" size_t RevoSecretLength(const unsigned char secret[REVO_SECRET_BYTES + 1]) {
    size_t n = 0;
    while (n < REVO_SECRET_BYTES && secret[n] != 0)
        ++n;
    return n;
}

extern "C" int RevoScrambleSecret(const unsigned char secret[REVO_SECRET_BYTES], char selector,
                                  const unsigned char* filler, size_t fillerLength,
                                  char out[REVO_SECRET_TEXT_LEN + 1]) {
    const int order = OrderFor(selector);
    if (order < 0 || secret == nullptr || out == nullptr) return 0;
    std::array<bool, REVO_SECRET_TEXT_LEN> used{};
    const auto& row = kDigitOrders[static_cast<size_t>(order)];
    out[0] = selector;
    for (int i = 0; i < REVO_SECRET_BYTES; ++i) {
        out[row[2 * i]] = kHex[secret[i] >> 4];
        out[row[2 * i + 1]] = kHex[secret[i] & 15];
        used[row[2 * i]] = used[row[2 * i + 1]] = true;
    }
    size_t f = 0;
    for (int pos = 1; pos < REVO_SECRET_TEXT_LEN; ++pos) {
        if (used[static_cast<size_t>(pos)]) continue;
        const unsigned v = (filler != nullptr && f < fillerLength) ? filler[f] & 15u : 0u;
        ++f;
        out[pos] = kHex[v];
    }
    out[REVO_SECRET_TEXT_LEN] = '\0';
    return 1;
}

extern "C" int RevoNewSecretText(char out[REVO_SECRET_TEXT_LEN + 1],
                                 unsigned char secretOut[REVO_SECRET_BYTES + 1]) {
    static constexpr std::string_view kSelectors = "12345679abcdef";
    unsigned char secret[REVO_SECRET_BYTES];
    unsigned char filler[REVO_SECRET_TEXT_LEN];
    unsigned char pick = 0;
    if (RAND_bytes(secret, sizeof secret) != 1 || RAND_bytes(filler, sizeof filler) != 1 ||
        RAND_bytes(&pick, 1) != 1)
        return 0;
    // A zero byte would end the secret early; nudge it to a non-zero value.
    for (auto& b : secret)
        if (b == 0) b = static_cast<unsigned char>(1 + (filler[0] % 255));
    const char selector = kSelectors[pick % kSelectors.size()];
    if (!RevoScrambleSecret(secret, selector, filler, sizeof filler, out)) return 0;
    if (secretOut != nullptr) {
        std::memcpy(secretOut, secret, sizeof secret);
        secretOut[REVO_SECRET_BYTES] = 0;
    }
    return 1;
}

extern "C" int RevoChallengeDigest(const char* challenge, size_t challengeLength,
                                   const unsigned char* secret, size_t secretLength,
                                   char out[REVO_DIGEST_TEXT_LEN + 1]) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int mdLen = 0;
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    if (ctx == nullptr) return 0;
    bool ok = EVP_DigestInit_ex(ctx, EVP_md5(), nullptr) == 1 &&
              (challengeLength == 0 || EVP_DigestUpdate(ctx, challenge, challengeLength) == 1) &&
              (secretLength == 0 || EVP_DigestUpdate(ctx, secret, secretLength) == 1) &&
              EVP_DigestFinal_ex(ctx, md, &mdLen) == 1 && mdLen == 16;
    EVP_MD_CTX_free(ctx);
    if (!ok) return 0;
    for (unsigned i = 0; i < 16; ++i) {
        out[2 * i] = kHex[md[i] >> 4];
        out[2 * i + 1] = kHex[md[i] & 15];
    }
    out[REVO_DIGEST_TEXT_LEN] = '\0';
    return 1;
}

extern "C" int RevoDigestEqual(const char* a, const char* b) {
    if (a == nullptr || b == nullptr) return 0;
    if (strnlen(a, REVO_DIGEST_TEXT_LEN + 1) != REVO_DIGEST_TEXT_LEN ||
        strnlen(b, REVO_DIGEST_TEXT_LEN + 1) != REVO_DIGEST_TEXT_LEN)
        return 0;
    unsigned diff = 0;
    for (int i = 0; i < REVO_DIGEST_TEXT_LEN; ++i) {
        auto lower = [](char c) { return static_cast<unsigned char>(c | 0x20); };
        diff |= static_cast<unsigned>(lower(a[i]) ^ lower(b[i]));
    }
    return diff == 0;
}
