#include "revo_secret_store.h"

#include <cstring>

extern "C" int RevoStoreNewSecret(DDCContextHandle ctx, const char* container,
                                  char out[REVO_SECRET_TEXT_LEN + 1]) {
    if (container == nullptr || container[0] == '\0') return DDCERR_INVALID_PARAMETER;
    char text[REVO_SECRET_TEXT_LEN + 1];
    if (!RevoNewSecretText(text, nullptr)) return DDCERR_NOT_ENOUGH_MEMORY;
    if (int rc = DDCResolveName(ctx, DDC_RESOLVE_WRITE, container); rc != 0) return rc;
    // Clear and write in one modification: readers never see two values or none.
    DDCEntry e[2] = {{DDC_OP_CLEAR, DDC_SYN_TEXT, 0, 0, "Quill:ACL", 0, 0, nullptr},
                     {DDC_OP_WRITE_VALUE, DDC_SYN_TEXT, 0, 0, "Quill:ACL", 0, 0, text}};
    if (int rc = DDCModifyEntry(ctx, 2, e); rc != 0) return rc;
    if (out != nullptr) std::memcpy(out, text, sizeof text);
    return 0;
}
