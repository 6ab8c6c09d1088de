/* The public header must stay plain C. */
#include "kdx.h"

int kdx_header_c_sizes(void) {
    KDXValueStruct vs = {0};
    KDXEnumStruct es = {0};
    return (int)(sizeof vs.Value + sizeof es.TextBuffer) + (int)vs.Used;
}
