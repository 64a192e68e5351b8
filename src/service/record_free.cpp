// SPDX-License-Identifier: Apache-2.0
// The exported free functions of the query results. Each tolerates null and
// clears what it released, so no block goes back twice through them.
#include "common/log.h"
#include "telmor_vaq_api.h"

namespace {

// Releases the nodes from the last to the first, as callers have always seen,
// without a recursion as deep as the list.
template <typename FreePayload>
void free_linked_list(HX_VAQ_LIST_NODE *node, int32_t freePayload, FreePayload free_payload) {
    HX_VAQ_LIST_NODE *reversed = nullptr;
    while (node != nullptr) {
        HX_VAQ_LIST_NODE *next = node->next;
        node->next = reversed;
        reversed = node;
        node = next;
    }
    while (reversed != nullptr) {
        HX_VAQ_LIST_NODE *next = reversed->next;
        if (freePayload != 0 && reversed->payload != nullptr) {
            free_payload(reversed->payload);
            reversed->payload = nullptr;
        }
        HX_VAQ_MemFree(__LINE__, tv::kModule, reversed);
        reversed = next;
    }
}

}  // namespace

extern "C" {

void HX_VAQ_DATE_TIME_FREE(HX_VAQ_DATE_TIME *record) { VAQ_FREE(record); }

void HX_VAQ_RK_CFG_FREE(HX_VAQ_RK_CFG *record) { VAQ_FREE(record); }

void HX_VAQ_DOMAIN_FREE(HX_VAQ_DOMAIN *record) { VAQ_FREE(record); }

void HX_VAQ_DP_FREE(HX_VAQ_DP *record) { VAQ_FREE(record); }

void HX_VAQ_KT_FREE(HX_VAQ_KT *record) { VAQ_FREE(record); }

void HX_VAQ_RK_FREE(HX_VAQ_RK *record) {
    if (record == nullptr) return;
    HX_VAQ_DATE_TIME_FREE(record->rkTimeA);
    record->rkTimeA = nullptr;
    HX_VAQ_DATE_TIME_FREE(record->rkTimeB);
    record->rkTimeB = nullptr;
    VAQ_FREE(record);
}

void HX_VAQ_MK_FREE(HX_VAQ_MK *record) {
    if (record == nullptr) return;
    HX_VAQ_DATE_TIME_FREE(record->mkTimeA);
    record->mkTimeA = nullptr;
    HX_VAQ_DATE_TIME_FREE(record->mkTimeB);
    record->mkTimeB = nullptr;
    VAQ_FREE(record);
}

void HX_VAQ_DOMAIN_FREE_ARRAY(HX_VAQ_DOMAIN **items, int32_t count) {
    if (items == nullptr) return;
    for (int32_t i = 0; i < count; ++i) {
        HX_VAQ_DOMAIN_FREE(items[i]);
        items[i] = nullptr;
    }
    VAQ_FREE(items);
}

void HX_VAQ_MK_FREE_ARRAY(HX_VAQ_MK **items, int32_t count) {
    if (items == nullptr) return;
    for (int32_t i = 0; i < count; ++i) {
        HX_VAQ_MK_FREE(items[i]);
        items[i] = nullptr;
    }
    VAQ_FREE(items);
}

void HX_VAQ_KT_LINKED_LIST_FREE(HX_VAQ_LIST_NODE *node, int32_t freePayload) {
    free_linked_list(node, freePayload, [](void *payload) { HX_VAQ_KT_FREE(static_cast<HX_VAQ_KT *>(payload)); });
}

void HX_VAQ_MK_LINKED_LIST_FREE(HX_VAQ_LIST_NODE *node, int32_t freePayload) {
    free_linked_list(node, freePayload, [](void *payload) { HX_VAQ_MK_FREE(static_cast<HX_VAQ_MK *>(payload)); });
}

}  // extern "C"
