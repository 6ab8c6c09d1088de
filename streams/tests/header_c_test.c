/* The public header is plain C. */
#include "lwstream.h"

#include <stddef.h>

int lwstream_header_is_c(void);

int lwstream_header_is_c(void) {
    LWStream s = {0};
    LWStreamEntry e = {0};
    LWCodec c = LWStreamFindCodec("BASE64", 0);
    s.Codec = c;
    (void)e;
    return s.Codec != NULL && LWStreamList[0].Name != NULL && TagList[0].Kind == LWTAG_OPEN &&
           LWTagMatch("<head>", TagList[0].Tag, (int)TagList[0].Len);
}
