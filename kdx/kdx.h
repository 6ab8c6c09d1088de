/* libkdx: the directory database library.
 *
 * The library logs in to the directory once per process as the product's
 * container object ("Internet Services" below the tree root) and hands out
 * copies of that login through value structures. Every operation names its
 * object relative to the structure's base (or as a full name starting with a
 * backslash) and returns attribute values as zero-ended UTF-8 texts.
 *
 * Results are plain integers: 1 success, 0 failure, unless said otherwise;
 * nothing is thrown. Texts are UTF-8 without four-byte forms; the directory
 * holds UTF-16. */
#ifndef KDX_H
#define KDX_H

#include <semaphore.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Sizes of the fixed work buffers ---- */

/* Work buffer that travels with each context: names and values in transit. */
#define KDX_WORK_BUFFER_SIZE 51204
/* Offset of the attribute part: object names take the bytes before it. */
#define KDX_ATTR_BUFFER_OFFSET 30722
/* Buffers of the one-value-per-call forms. */
#define KDX_ENUM_TEXT_SIZE 30724
#define KDX_ENUM_RESULT_SIZE 20488
/* Buffers that always hold a tree name / a server DN (ORBGetServerDN,
 * KDXGetLocalReplicaName, KDXGetServerInfo). */
#ifndef KDX_TREE_NAME_SIZE
#define KDX_TREE_NAME_SIZE 257
#endif
#ifndef KDX_SERVER_DN_SIZE
#define KDX_SERVER_DN_SIZE 1024
#endif
/* Each output of KDXGetObjectDetails must hold this many bytes. */
#define KDX_DETAILS_SIZE 1024

/* Result codes the library itself records in Error or returns. */
#define KDX_ERR_NO_MEMORY (-301)            /* a work buffer could not be allocated */
#define KDX_ERR_INSUFFICIENT_BUFFER (-12)   /* a name or value does not fit its buffer */
#define KDX_ERR_NO_CHARACTER_MAPPING (-638) /* malformed UTF-8 */

/* Modification operations and syntaxes (KDXWriteTyped). */
#define KDX_SYNTAX_DIST_NAME 1
#define KDX_SYNTAX_TEXT 3

/* ---- Value structures ---- */

/* Flags of KDXValueStruct */
#define KDX_VS_ALLOCATED 1   /* the library allocated the structure */
#define KDX_VS_HAS_CONTEXT 2 /* Context and the work buffer are set */
#define KDX_VS_SHARED 4      /* context and buffers belong to another structure */
#define KDX_VS_BASE_SET 8    /* the base is not the tree root */

typedef struct KDXValueStruct {
    uint32_t Context;          /* directory context, UTF-16 string form */
    uint32_t Reserved;         /* always 0 */
    unsigned char* NameBuffer; /* KDX_WORK_BUFFER_SIZE bytes */
    unsigned char* AttrBuffer; /* NameBuffer + KDX_ATTR_BUFFER_OFFSET */
    uint32_t Flags;            /* KDX_VS_* */
    int32_t Error;             /* last directory error recorded, 0 if none */
    uint32_t Used;             /* values in the list */
    uint32_t Allocated;        /* slots in Value, a multiple of 20 */
    char** Value;              /* zero-ended UTF-8 copies owned by the structure */
} KDXValueStruct;

/* State of the one-value-per-call forms (KDXReadEx, KDXEnumerateObjectsEx). */
typedef struct KDXEnumStruct {
    int32_t Active;              /* 1 while an enumeration is under way */
    int32_t Remaining;           /* entries of the last batch not yet handed out */
    char* TextBuffer;            /* KDX_ENUM_TEXT_SIZE bytes: the value handed out */
    unsigned char* ResultBuffer; /* KDX_ENUM_RESULT_SIZE bytes: one batch */
} KDXEnumStruct;

/* Base names: a name starting with a backslash is full and used unchanged;
 * another is placed below the tree root; null gives the tree root. */
KDXValueStruct* KDXInitValueStruct(const char* baseName, KDXValueStruct* vs);
int KDXSetValueStructContext(const char* baseName, KDXValueStruct* vs);
/* A second value list on the source's context; destroy it before the source. */
KDXValueStruct* KDXShareContext(KDXValueStruct* newVs, KDXValueStruct* source);
int KDXDestroyValueStruct(KDXValueStruct* vs);
int KDXAddValue(const char* text, KDXValueStruct* vs);
/* Per-value callback of the directory read: entry is a directory read entry. */
int KDXAddValueCallback(void* ignored, const void* entry, KDXValueStruct* vs);
int KDXFreeValue(uint32_t index, KDXValueStruct* vs);
int KDXFreeValues(KDXValueStruct* vs);
int KDXDumpValueStruct(int paged, KDXValueStruct* vs);
int KDXInitEnumStruct(KDXEnumStruct* es);
int KDXDestroyEnumStruct(KDXEnumStruct* es);

/* ---- Attribute operations ---- */

/* Longest value the operations take and give, in UTF-16 units (a read hands
 * the directory a 10240-byte buffer per value). Writes and adds of a longer
 * value write nothing and record KDX_ERR_INSUFFICIENT_BUFFER; a read skips
 * such a value (put there by other means), appends the others and records
 * the directory's -649. */
#define KDX_MAX_VALUE_UNITS 5119

/* Appends the values read; returns how many were appended (0 on failure). */
int KDXRead(const char* object, const char* attribute, KDXValueStruct* vs);
/* As KDXRead for a distinguished-name attribute; values are full names. */
int KDXReadDN(const char* object, const char* attribute, KDXValueStruct* vs);
/* Next value (in es->TextBuffer), or null at the end or on failure. */
char* KDXReadEx(const char* object, const char* attribute, KDXEnumStruct* es, KDXValueStruct* vs);
/* Makes the attribute hold exactly the structure's values, in one modification. */
int KDXWriteTyped(const char* object, const char* attribute, int syntax, KDXValueStruct* vs);
int KDXWrite(const char* object, const char* attribute, KDXValueStruct* vs);
int KDXWriteDN(const char* object, const char* attribute, KDXValueStruct* vs);
int KDXAdd(const char* object, const char* attribute, const char* value, KDXValueStruct* vs);
int KDXAddDN(const char* object, const char* attribute, const char* value, KDXValueStruct* vs);
int KDXRemove(const char* object, const char* attribute, const char* value, KDXValueStruct* vs);
int KDXRemoveDN(const char* object, const char* attribute, const char* value, KDXValueStruct* vs);
int KDXClear(const char* object, const char* attribute, KDXValueStruct* vs);
/* vs may be null: a context is then taken from the cache. */
int KDXIsObject(const char* object, KDXValueStruct* vs);
/* Each output (may be null) holds KDX_DETAILS_SIZE bytes: base class, second
 * entry text, full name. */
int KDXGetObjectDetails(const char* object, char* className, char* second, char* fullName,
                        KDXValueStruct* vs);

/* ---- Enumeration and passwords ---- */

/* Appends the relative names of the container's subordinates; returns their number. */
int KDXEnumerateObjects(const char* container, const char* classFilter, const char* nameFilter,
                        KDXValueStruct* vs);
/* Next name (in es->TextBuffer), or null. */
char* KDXEnumerateObjectsEx(const char* container, const char* classFilter, const char* nameFilter,
                            KDXEnumStruct* es, KDXValueStruct* vs);
/* vs may be null for the three password functions. */
int KDXVerifyPassword(const char* object, const char* password, KDXValueStruct* vs);
int KDXChangePassword(const char* object, const char* oldPassword, const char* newPassword,
                      KDXValueStruct* vs);
int KDXChangePasswordEx(const char* object, const char* ignored, const char* newPassword,
                        KDXValueStruct* vs);

/* ---- Context cache, server information, extension requests ---- */

/* Returns 0 or a directory error code; *workBuffer is KDX_WORK_BUFFER_SIZE bytes. */
int GetCachedContext(uint32_t* context, unsigned char** workBuffer);
void ReleaseCachedContext(uint32_t context, unsigned char* workBuffer, int reset);
/* On failure nothing needs releasing: the pair has gone back to the cache. */
int KDXOpenConnectionToServer(const char* serverName, uint32_t* context,
                              unsigned char** workBuffer);
int KDXCloseConnectionToServer(uint32_t context, unsigned char* workBuffer);
/* Outputs (each may be null): KDX_SERVER_DN_SIZE / KDX_TREE_NAME_SIZE bytes. */
int KDXGetServerInfo(char* serverDN, char* treeName, char* treeName2);
int KDXGetTWPExtensionInfoByName(uint32_t context, const char* name, uint32_t* number,
                                 uint8_t* info1, uint8_t* info2, uint8_t* info3);
/* *replyLength: capacity of reply on entry, bytes stored on success. */
int KDXTWPExtensionRequest(uint32_t context, uint32_t extension, const void* data,
                           uint32_t dataLength, void* reply, uint32_t* replyLength);

/* ---- UTF-8 / UTF-16 ---- */

/* out holds 3 bytes. Returns bytes written (1 to 3). */
int UTF8EncodeChar(uint16_t unit, char* out);
/* Returns bytes read (1 to 3); never reads past a zero byte. A malformed
 * sequence gives U+FFFD and consumes its lead byte. */
int UTF8DecodeChar(const char* in, uint16_t* out);
/* out holds 3 * UniStrlen(in) + 1 bytes. Returns bytes written without the zero. */
int UTF8Encode(const uint16_t* in, char* out);
/* out holds strlen(in) + 1 units. Returns units written without the zero. */
int UTF8Decode(const char* in, uint16_t* out);
int UniStrlen(const uint16_t* text);
/* Bytes, not characters, before the zero. */
int UnicodeLen(const char* text);

/* Streams: kept for callers of the old interface; they do nothing. */
void KDXOpenStream(void);
void KDXReadStream(void);
void KDXWriteStream(void);
void KDXCloseStream(void);

/* ---- Start-up, login and shutdown ---- */

/* Library start-up: 1 when logged in, 0 when the login failed. */
int KDXInit(void);
/* The start-up sequence; program mode passes its command line. */
int KDXMain(int argc, char** argv);
/* Reads the configuration file; treeName holds KDX_TREE_NAME_SIZE, serverDN
 * KDX_SERVER_DN_SIZE bytes; either may be null. 1, or 0 with both untouched. */
int ORBGetServerDN(char* treeName, char* serverDN);
int AuthenticateKDX(void);
/* out holds KDX_SERVER_DN_SIZE bytes. Always 1. */
int KDXGetLocalReplicaName(char* out);
/* 1, or 0 when already shut down. */
int KDXShutdown(void);
void KDXSigTermHandler(int sig);
int KDXGetAPIVersion(void);

/* ---- Exported state ---- */

extern int32_t Debug;       /* console diagnostics on ("-d") */
extern int32_t DebugScreen; /* set to 1 by "-d" */
extern int32_t DoPW;        /* log in with the built-in password */
extern int32_t ServerDNOverride;
extern int32_t KDXReady;     /* the login succeeded */
extern int32_t KDXFailed;    /* the login failed */
extern int32_t KDXDoingInit; /* KDXMain has started */
extern int32_t KDXIsLibrary; /* started by KDXInit */
extern int32_t KDXTid;       /* KDXMain is running */
extern int32_t KDXTGid;
extern uint32_t AuthContext; /* the login context */
extern sem_t StartupSem;
extern char KDXLoginUser[257];
extern char KDXVersionNumberInternal[64];
extern int32_t Codepage;
extern int32_t CountryID;
extern char LocalNoMapStr[2];
extern uint16_t UniNoMapStr[2];
/* A single backslash, readable as a byte string and as UTF-16. */
extern uint16_t ArborRoot[2];
/* Delimiter tables of the directory client library (defined there). */
extern uint16_t DDCDotDelims[9];
extern uint16_t DDCSlashDelims[9];
extern int32_t gErr;

#ifdef __cplusplus
}
#endif

#endif
