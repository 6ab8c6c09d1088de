/* libpdksa: the directory client library.
 *
 * A directory is a tree of objects kept in one store: an SQLite file shared
 * by every process of the host, or an LDAP server (slapd) shared by several
 * hosts. Programs reach it through contexts:
 * integer handles that carry a base name, a current (resolved) object, a
 * login identity and a string form.
 *
 * Every call returns 0 or a negative directory error code (DDCERR_*).
 * Nothing is thrown. Every call is safe from many threads; a context is used
 * by one thread at a time (calls on one context are serialised).
 *
 * Where the store is: the environment variable ARBOR_DIRECTORY_URL (an
 * ldap:// or ldapi:// URL, several separated by spaces), else
 * ARBOR_DIRECTORY (a file); else the line "arbor.directory.url=URL", else
 * "arbor.directory.store=PATH" of the configuration file (ARBOR_CONF,
 * default /etc/arbor.conf); else /var/lib/arbor/directory.db. An LDAP store
 * takes its base DN, bind DN and bind password file as the library's
 * README describes. The locator is taken when a context is created
 * (DDCCreateContext); copies share it.
 * A missing or unreadable store is not an error until a call needs it; then
 * the call returns DDCERR_NO_REFERRALS (-634), and the next call tries again.
 *
 * ---- String forms ----
 * A new context takes and gives names and values as byte strings (UTF-8,
 * zero-ended). After DDCSetContextFlags(ctx, DDC_CTX_UNICODE, ...) it uses
 * UTF-16 (host byte order, zero-ended units, surrogate pairs for characters
 * above U+FFFF). Clearing DDC_CTX_UNICODE returns to byte strings. Malformed
 * UTF-8 or a lone surrogate in input gives DDCERR_NO_CHARACTER_MAPPING.
 *
 * ---- Names ----
 * - Full names start with a backslash (the root) and list the components
 *   from the root down: \ACME\org\sales\MAIL1. "\" alone is the root.
 * - Any other name is relative to the context's base: "sales\MAIL1" under
 *   base \ACME\org names \ACME\org\sales\MAIL1. "." names the base itself.
 * - Dotted names list the components from the leaf up, separated by dots,
 *   and are taken relative to the tree root of the base (the first
 *   component of the base; the root "\" when the base is the root):
 *   "CN=Admin.O=Org" under base \ACME names \ACME\Org\Admin. A name is
 *   dotted when DDCDotDelims is passed (then a dot inside a component is
 *   written "\."), or, without a table, when it holds no backslash, holds a
 *   dot, and its first component carries a type ("CN=Admin.O=Org"; a lone
 *   "CN=Admin" is an ordinary relative name).
 * - A component may carry a type, "CN=Admin", "O=Org", "OU=sales"; it
 *   names the same object as the untyped "Admin". Names are compared
 *   without regard to case. A trailing separator is ignored.
 * - Limits: a component holds 1 to DDC_MAX_RDN_CHARS characters, a whole
 *   name at most DDC_MAX_DN_CHARS; beyond that DDCERR_ILLEGAL_DS_NAME.
 * - Names handed back (read values of name syntax, entry information) are
 *   relative to the context's base when the object lies below the base,
 *   otherwise full names; with the base at the root "\" they are always
 *   full names.
 *
 * ---- Rights ----
 * Resolving a name needs no login. Reading and listing need a logged-in
 * context. A change needs the tree's administrator ([Entry Rights] with
 * DDC_ENTRY_SUPERVISOR in an ACL value on the tree root) or an ACL value on
 * the object or one of its ancestors naming the logged-in object as trustee
 * and granting the right (entry rights for create/delete/rename, attribute
 * rights for values); otherwise DDCERR_NO_ACCESS (-672). Schema changes need
 * the tree's administrator.
 */
#ifndef PDKSA_H
#define PDKSA_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The library builds with hidden symbols; everything declared here is its
 * interface. */
#pragma GCC visibility push(default)

/* ---- Basic types and limits ---- */

typedef uint16_t DDCUnicode;       /* one UTF-16 unit */
typedef uint32_t DDCContextHandle; /* context handle; 0 is never a valid handle */

#define DDC_MAX_RDN_CHARS 128 /* characters of one name component */
#define DDC_MAX_DN_CHARS 256  /* characters of a whole name */
/* Size of the buffer DDCGetContextBaseDN writes when passed size 0: holds
 * any name in either string form with its terminating zero. */
#define DDC_MAX_DN_BYTES 1028
/* Longest value, in UTF-16 units (text, names, class names). */
#define DDC_MAX_VALUE_CHARS 32767

/* ---- Result codes ---- */

#define DDCERR_NOT_ENOUGH_MEMORY (-301)
#define DDCERR_NOT_LOGGED_IN (-337)
#define DDCERR_NO_SUCH_ENTRY (-601) /* no such object, or no current object */
#define DDCERR_NO_SUCH_VALUE (-602)
#define DDCERR_NO_SUCH_ATTRIBUTE (-603) /* undefined, or absent on the object */
#define DDCERR_NO_SUCH_CLASS (-604)
#define DDCERR_ENTRY_ALREADY_EXISTS (-606)
#define DDCERR_NOT_EFFECTIVE_CLASS (-607) /* class cannot be an object's base class */
#define DDCERR_ILLEGAL_ATTRIBUTE (-608)   /* not allowed in the object's class */
#define DDCERR_MISSING_MANDATORY (-609)
#define DDCERR_ILLEGAL_DS_NAME (-610) /* malformed or over-long name */
#define DDCERR_ILLEGAL_CONTAINMENT (-611)
#define DDCERR_CANT_HAVE_MULTIPLE_VALUES (-612) /* second value of a single-valued attribute */
#define DDCERR_SYNTAX_VIOLATION (-613)          /* value does not fit the syntax or the bounds */
#define DDCERR_DUPLICATE_VALUE (-614)
#define DDCERR_ATTRIBUTE_ALREADY_EXISTS (-615) /* attribute definition exists */
#define DDCERR_DATABASE_FORMAT (-617)          /* the store is not a directory (corrupt) */
#define DDCERR_ILLEGAL_REQUEST (-641)          /* unknown verb, malformed raw request */
#define DDCERR_OBJECT_CLASS_VIOLATION (-628)   /* a class definition is inconsistent */
#define DDCERR_ENTRY_IS_NOT_LEAF (-629)        /* object has subordinates */
#define DDCERR_SYSTEM_FAILURE (-632)           /* the store failed (I/O, read-only) */
#define DDCERR_NO_REFERRALS (-634)             /* the store cannot be reached */
#define DDCERR_NO_CHARACTER_MAPPING (-638)
#define DDCERR_CLASS_ALREADY_EXISTS (-645)
#define DDCERR_INSUFFICIENT_BUFFER (-649)    /* not even one result fits the buffer */
#define DDCERR_SCHEMA_IS_NONREMOVABLE (-643) /* standard class or attribute */
#define DDCERR_SCHEMA_IS_IN_USE (-644)       /* used by objects or other definitions */
#define DDCERR_DUPLICATE_OPTIONAL (-653)
#define DDCERR_FAILED_AUTHENTICATION (-669) /* wrong password, or none set */
#define DDCERR_INVALID_CONTEXT (-670)       /* unknown context handle */
#define DDCERR_NO_ACCESS (-672)
#define DDCERR_INVALID_PARAMETER (-702)

/* ---- Contexts ---- */

/* DDCSetContextFlags bits */
#define DDC_CTX_UNICODE 0x04  /* names and values are UTF-16 (else byte strings) */
#define DDC_CTX_RESERVED 0x80 /* accepted and kept, no effect */

/* Once per process, before other calls; later calls do nothing. mode is 1. */
int DDSInit(int mode);

/* New context: byte strings, base at the root, no current object, not
 * logged in. mode is 1 (any value is accepted). */
int DDCCreateContext(int mode, DDCContextHandle* ctx);
/* Copy of source with its base, current object, string form, locale and
 * login. */
int DDCDuplicateContext(DDCContextHandle source, DDCContextHandle* ctx);
int DDCFreeContext(DDCContextHandle ctx);
/* Sets the bits of set, then clears the bits of clear. */
int DDCSetContextFlags(DDCContextHandle ctx, uint32_t set, uint32_t clear);
/* Recorded only: byte strings are always UTF-8 here. */
int DDCSetContextLocale(DDCContextHandle ctx, int codepage, int country, const char* localNoMap,
                        const DDCUnicode* uniNoMap);

/* Base of relative names. With a delimiter table the name is a byte string
 * in the table's form (DDCSlashDelims: backslash form; DDCDotDelims:
 * dotted form), whatever the context's string form; without a table it is
 * in the context's string form. A base is always taken from the root, so
 * "ACME" and "\ACME" are the same base. A null or empty name sets the root.
 * The base object need not exist (no store access). */
int DDCSetContextBaseDN(DDCContextHandle ctx, const void* name, const DDCUnicode* delims);
/* Writes the base as a full name in the context's string form. size is the
 * buffer size in bytes; 0 means DDC_MAX_DN_BYTES. */
int DDCGetContextBaseDN(DDCContextHandle ctx, void* buf, size_t size);

/* Binds the context to a server object (a name in the context's form).
 * There is one store, so this only checks that the object exists. */
int DDCConnectToServerByName(DDCContextHandle ctx, const void* server);

/* DDCResolveName flags */
#define DDC_RESOLVE_READ 0x02
#define DDC_RESOLVE_WRITE 0x04
#define DDC_RESOLVE_DEREF 0x40
/* What callers pass: 66 to read, 68 to write. */
#define DDC_RESOLVE_FOR_READ (DDC_RESOLVE_DEREF | DDC_RESOLVE_READ)
#define DDC_RESOLVE_FOR_WRITE (DDC_RESOLVE_DEREF | DDC_RESOLVE_WRITE)
/* Makes the named object the context's current object. flags:
 * DDC_RESOLVE_FOR_READ, DDC_RESOLVE_FOR_WRITE or DDC_RESOLVE_WRITE (login);
 * all resolve the same way. */
int DDCResolveName(DDCContextHandle ctx, uint32_t flags, const void* name);

/* ---- Login ---- */

/* Logs in as the current object. DDCERR_FAILED_AUTHENTICATION on a wrong
 * password or when the object has no password. The login stays with the
 * context (and its copies) across later resolves. */
int DDCLogin(DDCContextHandle ctx, const void* password);
/* 0 when the context is logged in, else DDCERR_NOT_LOGGED_IN. */
int DDCAuthenticateConnection(DDCContextHandle ctx);
int DDCLogout(DDCContextHandle ctx);

/* Passwords of the current object. Stored only as salted PBKDF2-HMAC-SHA256
 * hashes. */
int DDCVerifyPassword(DDCContextHandle ctx, const void* password);
/* Needs a login and the old password. */
int DDCChangePassword(DDCContextHandle ctx, const void* oldPassword, const void* newPassword);
/* Sets a password without the old one (administrator reset): needs entry
 * supervisor or [All Attributes Rights] write rights on the object. */
int DDCGenerateKeyPair(DDCContextHandle ctx, const void* password);

/* ---- Records ---- */

/* Entry operations */
#define DDC_OP_ADD_VALUE 2    /* DDCERR_DUPLICATE_VALUE when present */
#define DDC_OP_REMOVE_VALUE 3 /* DDCERR_NO_SUCH_VALUE when absent */
#define DDC_OP_WRITE_VALUE                                                                         \
    5                  /* add unless present; replaces the value of a single-valued attribute */
#define DDC_OP_CLEAR 6 /* remove all values (none is not an error) */

/* Syntaxes */
#define DDC_SYN_DIST_NAME 1   /* name of an object; follows the object when renamed */
#define DDC_SYN_TEXT 3        /* text, compared without regard to case */
#define DDC_SYN_INTEGER 8     /* decimal text of a signed 32-bit number */
#define DDC_SYN_ACL 17        /* DDCACL */
#define DDC_SYN_CLASS_NAME 20 /* name of a defined class */

/* One attribute value (modification, creation, read), eight words.
 * Strings are in the context's string form. In modifications the value of
 * syntax DDC_SYN_ACL points to a DDCACL, every other value to a string
 * whose length is given (in UTF-16 units or bytes; 0: up to the zero); the
 * value is interpreted by the attribute's defined syntax. In read results
 * every value is a zero-ended string: ACL values read back as the text
 * "<privileges>#<protected attribute>#<trustee name>", which may also be
 * written with syntax DDC_SYN_TEXT. */
typedef struct DDCEntry {
    uint32_t operation; /* DDC_OP_*; 0 in read results */
    uint32_t syntax;    /* DDC_SYN_* */
    uint32_t reserved1;
    uint32_t length;      /* value length in units of the string form */
    const void* attrName; /* attribute name */
    uint32_t reserved2;
    uint32_t reserved3;
    const void* value;
} DDCEntry;

/* Protected attribute names of ACL values */
#define DDC_ACL_ENTRY_RIGHTS "[Entry Rights]"
#define DDC_ACL_ALL_ATTRIBUTES "[All Attributes Rights]"
/* Entry rights */
#define DDC_ENTRY_BROWSE 0x01
#define DDC_ENTRY_ADD 0x02 /* create subordinates */
#define DDC_ENTRY_DELETE 0x04
#define DDC_ENTRY_RENAME 0x08
#define DDC_ENTRY_SUPERVISOR 0x10 /* every right on the object and its subtree */
/* Attribute rights (on the protected attribute, or all attributes) */
#define DDC_ATTR_COMPARE 0x01
#define DDC_ATTR_READ 0x02
#define DDC_ATTR_WRITE 0x04
#define DDC_ATTR_SELF 0x08
#define DDC_ATTR_SUPERVISOR 0x20

/* ACL value: privileges, protected attribute name (one of the two bracketed
 * names above or an attribute's name), trustee (an object's name, resolved
 * like a name of syntax DDC_SYN_DIST_NAME). Strings in the context's form. */
typedef struct DDCACL {
    uint32_t privileges;
    const void* protectedAttrName;
    const void* trusteeName;
} DDCACL;

/* Read request, five words: names is a null-ended list of attribute names
 * (context form), or null for every attribute of the object. */
typedef struct DDCReadRequest {
    uint32_t reserved1;
    const void* const* names;
    uint32_t reserved2;
    uint32_t reserved3;
    uint32_t reserved4;
} DDCReadRequest;

/* List request, eight words: kind is 1. classFilter: only subordinates
 * whose base class (or a superclass of it) is that class; nameFilter: only
 * names matching it ('*' matches any run of characters, case ignored).
 * Either may be null. */
typedef struct DDCListRequest {
    uint32_t reserved1;
    uint32_t reserved2;
    uint32_t kind;
    uint32_t reserved3;
    const void* classFilter;
    const void* nameFilter;
    uint32_t reserved4;
    uint32_t reserved5;
} DDCListRequest;

/* ---- Reading and listing (current object; needs a login) ---- */

/* Per value, in directory order (the attributes in the order asked, the
 * values of each in the order they were added): cb(ctx, entry, arg). The
 * entry and its strings are valid only during the call, which runs with
 * the context free for other calls. A non-zero result of cb stops the read,
 * and DDCReadToCB returns 0. infoType is 1; bufferSize (10240) bounds one
 * value in bytes (0: no bound): a longer value is skipped, the others are
 * still handed over, and the call then returns DDCERR_INSUFFICIENT_BUFFER.
 * DDCERR_NO_SUCH_ATTRIBUTE when none of the attributes has a value. */
typedef int (*DDCReadCallback)(DDCContextHandle ctx, const DDCEntry* entry, void* arg);
int DDCReadToCB(DDCContextHandle ctx, const DDCReadRequest* req, int infoType, size_t bufferSize,
                DDCReadCallback cb, void* arg);

/* Batch form: buf receives *count DDCEntry records at its start, their
 * strings after them. A repeat with the same attribute names on the same
 * current object continues after the last batch; *count is 0 at the end,
 * and the next call starts over. DDCERR_NO_SUCH_ATTRIBUTE on the first
 * call when there is no value; DDCERR_INSUFFICIENT_BUFFER when not even one
 * value fits. A resolve or a new base starts over. */
int DDCReadToBuffer(DDCContextHandle ctx, const DDCReadRequest* req, int infoType, int reserved,
                    size_t bufferSize, void* buf, int32_t* count);

/* Subordinates of the current object, in order of their names: buf
 * receives *count pointers to their relative names (context form) at its
 * start, the names after them. Continues and ends as DDCReadToBuffer; an
 * empty container gives 0 with *count 0. infoFlags is 8192. */
int DDCListToBuffer(DDCContextHandle ctx, const DDCListRequest* req, uint32_t infoFlags,
                    size_t bufferSize, void* buf, int32_t* count);

/* DDCGetEntryInfo selector bits */
#define DDC_INFO_BASE_CLASS 0x0800
#define DDC_INFO_RDN 0x1000  /* the object's relative name (last component) */
#define DDC_INFO_NAME 0x2000 /* the object's name, relative to the base as above */
/* out (size bytes) receives, for each selected bit from the lowest up, one
 * pointer to a zero-ended string (context form); the strings follow the
 * pointers. Needs a login. Other bits give DDCERR_INVALID_PARAMETER. */
int DDCGetEntryInfo(DDCContextHandle ctx, uint32_t selector, size_t size, void* out);

/* ---- Changing objects (need rights, see above) ---- */

/* Applies the n entries to the current object in one transaction: all or
 * nothing. Mandatory attributes, single values and bounds are checked
 * against the result, so a clear followed by writes of the same attribute
 * is allowed. */
int DDCModifyEntry(DDCContextHandle ctx, uint32_t n, const DDCEntry* entries);

/* Creates the object named by name (full, relative or dotted as above; the
 * last component is its relative name, the rest names its parent). The
 * entries (operation ignored) give its values, among them "Object Class"
 * (syntax 20): the first class named is the base class, its superclasses
 * are added. The naming attribute takes the relative name when no value is
 * given. Checked: defined and effective class, containment under the
 * parent, mandatory attributes, allowed attributes, syntaxes. The new object
 * becomes the current object. Needs DDC_ENTRY_ADD on the parent. */
int DDCCreateEntry(DDCContextHandle ctx, const void* name, uint32_t n, const DDCEntry* entries);
/* Removes the named object: DDCERR_ENTRY_IS_NOT_LEAF with subordinates.
 * Values of other objects that name it are removed with it, unless one of
 * them is the last value of a mandatory attribute of its object: then
 * nothing is removed and the result is DDCERR_MISSING_MANDATORY. */
int DDCRemoveEntry(DDCContextHandle ctx, const void* name);
/* Renames the named object within its parent. newName is the new relative
 * name, or a name whose parent is the object's parent. With deleteOldRDN
 * the old value of the naming attribute is replaced, else kept as a second
 * value. Names of syntax 1 that point at the object follow it.
 * DDCERR_ILLEGAL_DS_NAME when the new name, or the name of any object below
 * it, would be longer than DDC_MAX_DN_CHARS. */
int DDCModifyRDN(DDCContextHandle ctx, const void* name, const void* newName, int deleteOldRDN);

/* ---- Schema (needs the tree's administrator) ---- */

/* Attribute definition flags */
#define DDC_ATTRDEF_SINGLE_VALUED 0x01
#define DDC_ATTRDEF_SIZED                                                                          \
    0x02 /* lower/upper bound the length in characters (integers: the value) */
#define DDC_ATTRDEF_PUBLIC_READ 0x40 /* kept, no effect */

/* Attribute definition, six words. */
typedef struct DDCAttrDef {
    uint32_t flags;
    uint32_t syntax;
    uint32_t lower;
    uint32_t upper;
    uint32_t reserved1;
    uint32_t reserved2;
} DDCAttrDef;

/* Class definition flags */
#define DDC_CLASS_CONTAINER 0x01
#define DDC_CLASS_EFFECTIVE 0x02

/* Class definition, nine words. Each list is a null-ended array of names
 * in the context's form, or null for none. One superclass ("Top" when none
 * is given). Containment and naming are inherited from the superclass when
 * the lists are empty; mandatory and optional attributes add to the
 * superclass's. Names may be given as const void* lists: { "Top", NULL }. */
typedef struct DDCClassDef {
    uint32_t flags;
    uint32_t reserved1;
    uint32_t reserved2;
    const void* const* superClasses;
    const void* const* containment;
    const void* const* naming;
    const void* const* mandatory;
    const void* const* optional;
    uint32_t reserved3;
} DDCClassDef;

/* DDCERR_ATTRIBUTE_ALREADY_EXISTS when defined; bad syntax or flags give
 * DDCERR_INVALID_PARAMETER. */
int DDCDefineAttribute(DDCContextHandle ctx, const void* name, const DDCAttrDef* def);
/* DDCERR_CLASS_ALREADY_EXISTS when defined; undefined names in the lists
 * give DDCERR_NO_SUCH_CLASS / DDCERR_NO_SUCH_ATTRIBUTE. */
int DDCDefineClass(DDCContextHandle ctx, const void* name, const DDCClassDef* def);
/* Adds the listed attributes to the class's optional attributes in one
 * step: DDCERR_DUPLICATE_OPTIONAL when one is already among the class's own
 * optional or mandatory attributes (nothing is added then). */
int DDCAddOptionalsToClass(DDCContextHandle ctx, const void* className,
                           const void* const* optionalNames);
/* DDCERR_NO_SUCH_CLASS, DDCERR_SCHEMA_IS_NONREMOVABLE (standard class),
 * DDCERR_SCHEMA_IS_IN_USE (objects of the class, or a subclass). */
int DDCRemoveClass(DDCContextHandle ctx, const void* className);

/* ---- Raw requests ---- */

/* Appends a string to a raw request: a 32-bit length in bytes (host order,
 * UTF-16 units including the zero unit), the UTF-16 units (host order) with
 * the zero, zero bytes to the next multiple of 4. str is UTF-8. Advances
 * *cur; DDCERR_INSUFFICIENT_BUFFER (and nothing written) when it would pass
 * limit. */
int DDCWPutString(char** cur, char* limit, const char* str);

/* Raw request of reqLen bytes. reply may be the request buffer; replyLen
 * may be null. Verbs:
 *  13 remove an attribute definition: a 32-bit zero, then the name as
 *     DDCWPutString writes it. No reply (length 0). Errors:
 *     DDCERR_NO_SUCH_ATTRIBUTE, DDCERR_SCHEMA_IS_NONREMOVABLE,
 *     DDCERR_SCHEMA_IS_IN_USE (objects hold values, or a class names it as
 *     naming or mandatory; optional uses are dropped with it),
 *     DDCERR_NO_ACCESS. */
int DDCRequest(DDCContextHandle ctx, uint32_t verb, size_t reqLen, const void* req, size_t replyMax,
               void* reply, size_t* replyLen);

/* Verbs of DDCTWPRequest */
#define DDC_TWP_EXTENSION_INFO 36
#define DDC_TWP_EXTENSION_REQUEST 37
/* Extensions the directory answers (names for verb 36, numbers for 37). */
#define DDC_EXT_ECHO_NAME "Echo"
#define DDC_EXT_ECHO 0x0100 /* replies with the request data */
#define DDC_EXT_TIME_NAME "Time"
#define DDC_EXT_TIME 0x0101 /* replies with the time: 8 bytes, seconds since 1970, big-endian */

/* Core-protocol (TWP) request. A request starts with a 16-bit big-endian
 * word; reqLen counts the bytes AFTER that word, so reqLen + 2 bytes are
 * read. reply receives up to replyMax bytes; *replyLen the bytes written.
 *  36 extension information: the word is the name length n; then the byte
 *     2, n as one byte, the name (n bytes; reqLen = n + 2). Reply: the
 *     extension number (32 bits, host order), then three bytes: version
 *     major, minor, and 0. Unknown name: DDCERR_NO_SUCH_ENTRY.
 *  37 extension request: the word is (data length + 6); then two zero
 *     bytes, the extension number (32 bits, host order), the caller's
 *     reply length (16 bits, host order), the data (reqLen = data length
 *     + 8). Reply: the extension number (32 bits, host order), the reply
 *     data length (16 bits, host order), from offset 6 the reply data,
 *     at most the caller's reply length; *replyLen = 6 + data length.
 *     Unknown number: DDCERR_NO_SUCH_ENTRY.
 *  13 as DDCRequest (reqLen then counts the whole request). */
int DDCTWPRequest(DDCContextHandle ctx, uint32_t verb, size_t reqLen, const void* req,
                  size_t replyMax, void* reply, size_t* replyLen);

/* Delimiter tables, nine units each, read by content:
 * [0] 1 = components from the leaf up, 0 = from the root down;
 * [1] 1 = components may carry a type; [2] the "self" mark; [3] the
 * component separator; [4] '+'; [5] the type separator '='; [6] the
 * wildcard '*'; [7] the escape character; [8] 0.
 * DDCDotDelims  = 1 1 . . + = * \ 0
 * DDCSlashDelims = 0 1 . \ + = * ' 0 */
extern uint16_t DDCDotDelims[9];
extern uint16_t DDCSlashDelims[9];

/* ---- Administration (not part of the client interface proper) ---- */

/* Creates a new, empty store at path (parent directory must exist) with
 * the standard schema and the root "\", readable and writable by its owner
 * only (mode 0600 whatever the umask: it holds password hashes and
 * secrets). DDCERR_ENTRY_ALREADY_EXISTS when a file is there. The caller then creates the tree root
 * below "\" with class "Tree Root" (naming attribute "T"), and the tree below it. */
/* For an ldap:// URL: makes the tree on the empty suffix of a running
 * server (DDCERR_ENTRY_ALREADY_EXISTS when it is made; DDCERR_DATABASE_FORMAT
 * when the server lacks the directory's fixed LDAP schema). */
int PDKCreateStore(const char* path);
/* Shares the store at path with a group: the store and its companion files
 * (-wal, -shm, -gen) get that group and mode 0640, so its members may read
 * (PDKLoginMaintenanceRead) but not change the directory. DDCERR_NO_ACCESS
 * when this process may not change the files. Nothing to do for an LDAP
 * store, whose server decides who reads (0). */
int PDKShareStore(const char* path, uint32_t group);
/* Removes the store at path and everything in it: the file and its
 * companions, or on LDAP every entry the store made below the suffix (the
 * suffix's own entry stays: it may be the server's). 0 when nothing is left
 * of it, also when there was none. For undoing a creation that failed. */
int PDKRemoveStore(const char* path);
/* Writes the store path a new context would use; 0, or
 * DDCERR_INSUFFICIENT_BUFFER. */
int PDKGetStorePath(char* buf, size_t size);
/* Gives the context the rights of the tree's administrator without a
 * password when this process may write the store file (whoever can write
 * the file can change the directory anyway), or, on LDAP, read the bind
 * password file. DDCERR_NO_ACCESS otherwise. */
int PDKLoginMaintenance(DDCContextHandle ctx);
/* The same for a process that may only read the store file: every value
 * may be read, nothing changed (DDCERR_NO_ACCESS). With write access it is
 * PDKLoginMaintenance. DDCERR_NO_ACCESS when the file cannot be read. */
int PDKLoginMaintenanceRead(DDCContextHandle ctx);
/* The definition of an attribute: 0 or DDCERR_NO_SUCH_ATTRIBUTE. */
int PDKGetAttributeDefinition(DDCContextHandle ctx, const void* name, DDCAttrDef* def);
/* A short English text for a result code of this library; never null. */
const char* PDKErrorText(int code);

#pragma GCC visibility pop

#ifdef __cplusplus
}
#endif

#endif /* PDKSA_H */
