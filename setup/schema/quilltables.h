/* Compiled-in schema tables and screen texts of the setup tool. C-clean. */
#ifndef QUILL_TABLES_H
#define QUILL_TABLES_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define QUILL_NAME_SLOT 64

/* One attribute definition. The words after the name keep the historic order:
 * distinguished-name syntax, flag 0x01, flag 0x40, bounds (a lower bound also
 * marks the attribute as sized), mandatory class bits, then the class bits of
 * the classes that get the attribute as optional, in both bit spaces. */
typedef struct QuillAttrRow {
    const char* name;
    uint32_t isDN;
    uint32_t flag01;
    uint32_t flag40;
    uint32_t lower;
    uint32_t upper;
    uint32_t mandatoryBits;
    uint32_t optionalBits;
    uint32_t optionalBits2;
} QuillAttrRow;

/* One class. A null superclass marks a standard class that is only extended. */
typedef struct QuillClassRow {
    const char* name;
    const char* superclass;
    char containment[4][QUILL_NAME_SLOT];
    const char* naming;
    char mandatory[5][QUILL_NAME_SLOT];
    char unused[3][QUILL_NAME_SLOT];
    uint32_t container;
    uint32_t bits;
    uint32_t bits2;
} QuillClassRow;

/* Each table ends with a row whose name is null; the counts exclude it. */
#define QUILL_ATTR_COUNT 162
#define QUILL_CLASS_COUNT 40
#define QUILL_SPECIAL_ATTR_COUNT 4
#define QUILL_OBSOLETE_ATTR_COUNT 22
#define QUILL_OBSOLETE_CLASS_COUNT 10

extern const QuillAttrRow QuillAttr[QUILL_ATTR_COUNT + 1];
extern const QuillClassRow QuillClass[QUILL_CLASS_COUNT + 1];
extern const QuillAttrRow QuillSpecialAttr[QUILL_SPECIAL_ATTR_COUNT + 1];
extern const QuillAttrRow QuillObsoleteAttr[QUILL_OBSOLETE_ATTR_COUNT + 1];
extern const QuillClassRow QuillObsoleteClass[QUILL_OBSOLETE_CLASS_COUNT + 1];

/* Screen texts, indexed by number. */
#define QUILL_MESSAGE_COUNT 90
extern const char* const programMesgTable[QUILL_MESSAGE_COUNT];

/* Text for a directory result code; "No description" for unknown codes. Never null. */
const char* DirectoryErrorText(int32_t code);

/* Number of codes the catalogue knows (for self-checks). */
int32_t DirectoryErrorCount(void);
/* The i-th known code in ascending order, 0 <= i < DirectoryErrorCount(). */
int32_t DirectoryErrorCodeAt(int32_t i);

#ifdef __cplusplus
}
#endif

#endif
