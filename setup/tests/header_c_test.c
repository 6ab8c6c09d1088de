/* Compiled as C: the public header must stay C-clean. */
#include "quilltables.h"

int quill_header_is_c(void) { return QuillAttr[0].name != 0 && DirectoryErrorText(0) != 0; }
