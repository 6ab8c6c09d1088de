/* The agent's public header is plain C. */
#include "dayward.h"

int dayward_header_is_c(void);
int dayward_header_is_c(void) {
    REVOConnection c = {0};
    REVORegistration r = {{0}, 5, 0};
    MD5Context m = {0};
    return (int)sizeof c.LineBuffer + r.Queue + (m.State == 0) + (FuncTbl[4] == 0);
}
