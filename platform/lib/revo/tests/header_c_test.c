/* Compiles the public header as C and calls through it once. */
#include "revo_secret.h"

int revo_secret_c_probe(void);
int revo_secret_c_probe(void) {
    unsigned char secret[REVO_SECRET_BYTES + 1];
    return RevoUnscrambleSecret(REVO_DEFAULT_SECRET_TEXT, secret) == 1 &&
           RevoSecretLength(secret) <= REVO_SECRET_BYTES;
}
