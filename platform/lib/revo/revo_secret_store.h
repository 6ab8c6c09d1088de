/* Storing a fresh REVO shared secret in the directory: the scrambled text
 * becomes the only "Quill:ACL" value of the product's container. Used by
 * arborctl. */
#ifndef REVO_SECRET_STORE_H
#define REVO_SECRET_STORE_H

#include "pdksa.h"
#include "revo_secret.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Makes a fresh secret and writes its scrambled text as the only value of
 * "Quill:ACL" of the object named container (for instance
 * "\\TREE\\Internet Services"), in one modification. ctx is a context in
 * byte-string form with write rights on the object. On success the text is
 * copied to out (33 bytes; may be null) and 0 is returned; otherwise a
 * directory error code (DDCERR_NOT_ENOUGH_MEMORY when no random secret
 * could be made). */
int RevoStoreNewSecret(DDCContextHandle ctx, const char* container,
                       char out[REVO_SECRET_TEXT_LEN + 1]);

#ifdef __cplusplus
}
#endif

#endif
