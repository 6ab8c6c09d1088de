/* REVO shared secret: the scrambled 32-digit text kept as "Quill:ACL" of
 * "Internet Services", its unscrambling into the 8 secret bytes, the reverse
 * scrambling used to store a fresh secret, and the challenge digest of the
 * AUTH command. Shared by the REVO servers and their agents so that both
 * sides derive the same secret. Plain C interface; all calls are reentrant. */
#ifndef REVO_SECRET_H
#define REVO_SECRET_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Length of the scrambled text (lower-case hexadecimal digits, no NUL). */
#define REVO_SECRET_TEXT_LEN 32
/* Number of secret bytes carried by a scrambled text. */
#define REVO_SECRET_BYTES 8
/* Length of an AUTH digest: 16 MD5 bytes as lower-case hexadecimal. */
#define REVO_DIGEST_TEXT_LEN 32

/* The built-in scrambled secret used when the directory holds none. */
#define REVO_DEFAULT_SECRET_TEXT "5d0c3a91f7e24b68a1c09e3f72d4b815"

/* Derives the 8 secret bytes from a scrambled text and writes them, then a
 * NUL, to out (9 bytes). The first character selects the digit order; an
 * unknown selector gives 8 zero bytes. Digits beyond the end of a short text
 * are never read and count as "0". Returns 1, or 0 (out untouched) when text
 * is null or empty. */
int RevoUnscrambleSecret(const char* text, unsigned char out[REVO_SECRET_BYTES + 1]);

/* Length of the usable secret in an unscrambled buffer: the bytes before the
 * first zero byte (0 to 8). */
size_t RevoSecretLength(const unsigned char secret[REVO_SECRET_BYTES + 1]);

/* Scrambles 8 secret bytes into a 32-digit text plus NUL (33 bytes in out).
 * selector picks the digit order and must be one of "12345679abcdef" (the
 * characters that select an order); filler supplies the 31 - 16 digits that
 * carry nothing (any bytes; only their low 4 bits are used; may be null for
 * zeros). Returns 1, or 0 for an invalid selector. */
int RevoScrambleSecret(const unsigned char secret[REVO_SECRET_BYTES], char selector,
                       const unsigned char* filler, size_t fillerLength,
                       char out[REVO_SECRET_TEXT_LEN + 1]);

/* Makes a fresh random secret (8 non-zero bytes, so that it is never cut
 * short) and its scrambled text, from the system's random source. Returns 1,
 * or 0 when no random bytes could be had. secretOut may be null. */
int RevoNewSecretText(char out[REVO_SECRET_TEXT_LEN + 1],
                      unsigned char secretOut[REVO_SECRET_BYTES + 1]);

/* The AUTH digest: MD5 over the challenge followed by the secret, written
 * as 32 lower-case hexadecimal digits and a NUL (33 bytes in out). Returns
 * 1, or 0 when the digest could not be computed. */
int RevoChallengeDigest(const char* challenge, size_t challengeLength, const unsigned char* secret,
                        size_t secretLength, char out[REVO_DIGEST_TEXT_LEN + 1]);

/* Compares two digest texts in constant time, ignoring the case of the
 * hexadecimal letters. Returns 1 when they are equal. */
int RevoDigestEqual(const char* a, const char* b);

#ifdef __cplusplus
}
#endif

#endif
