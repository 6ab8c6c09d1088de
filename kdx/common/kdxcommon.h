/* Pieces shared by libkdx and the setup tool: the one rule that reads the
 * configuration file, and the built-in password of the "Internet Services"
 * login object. Plain C so that either side may include it. */
#ifndef KDX_COMMON_H
#define KDX_COMMON_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Longest configuration line looked at, without its line end. */
#define KDX_CONF_LINE_MAX 256
/* Buffer sizes that always hold a tree name / a composed server DN. */
#define KDX_TREE_NAME_SIZE 257
#define KDX_SERVER_DN_SIZE 1024

/* The configuration file: $ARBOR_CONF when set and not empty, else "/etc/arbor.conf". */
const char* KDXConfPath(void);

/* Reads the configuration file at path (null: KDXConfPath()). The file must
 * hold each of "orb.base.tree-name=", "orb.arbor.server-name=" and
 * "orb.arbor.server-context=" exactly once (keys compared without regard to
 * case, white space after the key skipped, other lines ignored).
 * Returns 1 and fills the buffers (either may be null), or 0 and leaves both
 * untouched: file missing or unreadable, a key missing or repeated, a key line
 * longer than KDX_CONF_LINE_MAX, or a result that does not fit its buffer.
 * serverDN receives "\<tree><context path><server>", e.g. \ACME\org\sales\MAIL1. */
int KDXConfReadServerDN(const char* path, char* tree, size_t treeSize, char* serverDN,
                        size_t serverDNSize);

/* Turns a dotted context such as "ou=sales.o=org" into the backslash path
 * "\org\sales\" (types dropped, "\." kept as a literal dot). Returns the
 * length written, or -1 when out (of outSize bytes) is too small. */
int KDXConfContextPath(const char* context, char* out, size_t outSize);

/* The built-in password of the "Internet Services" object: 15 characters,
 * assembled at run time from bytes kept apart, never stored whole. */
#define KDX_PASSWORD_LENGTH 15

/* Character index (0..14) of the password; 0 for any other index. */
char KDXPasswordChar(int index);

/* Writes characters first .. first+count-1 of the password to buf[first..];
 * buf must hold at least first+count bytes. Out-of-range positions are skipped. */
void KDXPasswordPlace(char* buf, int first, int count);

/* The whole password, zero-ended. Returns 1, or 0 (nothing written) when
 * size < KDX_PASSWORD_LENGTH + 1. Callers should wipe the copy after use. */
int KDXPasswordCopy(char* buf, size_t size);

#ifdef __cplusplus
}
#endif

#endif
