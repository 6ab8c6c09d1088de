/* The public header must stay plain C. */
#include "pdksa.h"

#include <stddef.h>

int pdksa_c_header_check(void) {
    const void* names[] = {"CN", NULL};
    DDCReadRequest req = {0, names, 0, 0, 0};
    DDCListRequest list = {0, 0, 1, 0, NULL, NULL, 0, 0};
    DDCEntry e = {DDC_OP_ADD_VALUE, DDC_SYN_TEXT, 0, 1, "CN", 0, 0, "x"};
    int bad = 0;
    bad |= req.names != names;
    bad |= list.kind != 1;
    bad |= offsetof(DDCEntry, value) != 32;
    bad |= e.length != 1;
    bad |= DDCSlashDelims[3] != '\\' || DDCDotDelims[3] != '.';
    return bad;
}
