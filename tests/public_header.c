/* SPDX-License-Identifier: Apache-2.0 */
/* Built as strict C11: the public header must serve plain C consumers. */
#include <unistd.h>

#include "telmor_vaq_api.h"

int telmor_public_header_c11_check(void);

int telmor_public_header_c11_check(void) {
    HX_VAQ_MK_LIST *list = 0;
    uint32_t len = 0;
    if (TELMOR_VAQ_GetCipherDataLen(32, &len) != 0 || TELMOR_VAQ_Query_Mk_Info(&list) != 0) {
        return 1;
    }
    HX_VAQ_MK_FREE_ARRAY(list->items, list->count);
    HX_VAQ_MemFree(__LINE__, __FILE__, list);
    return (int)gettid() + (int)sizeof(HX_VAQ_ROOT_KEY) + base[0];
}
