// SPDX-License-Identifier: Apache-2.0
// Every allocation of the list and record queries made to fail in turn: each
// failing run returns its documented result, hands out nothing and leaks
// nothing, and the first run that gets all its memory succeeds.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fake_keylib.h"
#include "svc_fixture.h"
#include "telmor_vaq_api.h"
#include "tracked_alloc.h"

namespace {

using svctest::ServiceFake;

VaqMkRecord mk(uint32_t domain, uint32_t key) {
    VaqMkRecord r{};
    r.domainId = domain;
    r.keyId = key;
    r.created.year = 2026;
    r.expires.year = 2036;
    return r;
}

struct Query {
    const char *name;
    // Runs the query; on success releases what it handed out. Returns the
    // result and whether anything was handed out.
    std::function<unsigned long(bool *handedOut)> run;
};

std::vector<Query> queries() {
    return {
        {"Query_Mk_Info",
         [](bool *out) {
             HX_VAQ_MK_LIST *list = reinterpret_cast<HX_VAQ_MK_LIST *>(0x5A5A);
             const unsigned long r = TELMOR_VAQ_Query_Mk_Info(&list);
             *out = list != nullptr;
             if (r == 0 && list != nullptr) {
                 EXPECT_EQ(list->count, 3);
                 HX_VAQ_MK_FREE_ARRAY(list->items, list->count);
                 HX_VAQ_MemFree(__LINE__, "test", list);
             }
             return r;
         }},
        {"Query_Root_Key",
         [](bool *out) {
             HX_VAQ_ROOT_KEY *root = reinterpret_cast<HX_VAQ_ROOT_KEY *>(0x5A5A);
             const unsigned long r = TELMOR_VAQ_Query_Root_Key(&root);
             *out = root != nullptr;
             if (r == 0 && root != nullptr) {
                 EXPECT_NE(root->rk, nullptr);
                 EXPECT_NE(root->rkCfg, nullptr);
                 HX_VAQ_RK_FREE(root->rk);
                 HX_VAQ_RK_CFG_FREE(root->rkCfg);
                 HX_VAQ_MemFree(__LINE__, "test", root);
             }
             return r;
         }},
        {"Query_Domain_Info",
         [](bool *out) {
             HX_VAQ_DOMAIN_LIST *list = reinterpret_cast<HX_VAQ_DOMAIN_LIST *>(0x5A5A);
             const unsigned long r = TELMOR_VAQ_Query_Domain_Info(&list);
             *out = list != nullptr;
             if (r == 0 && list != nullptr) {
                 EXPECT_EQ(list->count, 2);
                 HX_VAQ_DOMAIN_FREE_ARRAY(list->items, list->count);
                 HX_VAQ_MemFree(__LINE__, "test", list);
             }
             return r;
         }},
        {"GetKeyId_List",
         [](bool *out) {
             uint32_t *ids = nullptr;
             uint32_t count = 0;
             const unsigned long r = TELMOR_VAQ_GetKeyId_List(1, &ids, &count);
             *out = ids != nullptr;
             if (r == 0 && ids != nullptr) {
                 EXPECT_EQ(count, 2u);
                 HX_VAQ_MemFree(__LINE__, "test", ids);
             }
             return r;
         }},
    };
}

TEST_F(ServiceFake, EveryAllocationOfAQueryFailingInTurn) {
    fake::inventory().mks = {mk(1, 10), mk(2, 20), mk(1, 30)};
    VaqDomainRecord d{};
    d.domainId = 1;
    fake::inventory().domains = {d, d};

    for (const Query &q : queries()) {
        SCOPED_TRACE(q.name);
        const size_t live = svctest::live_blocks();
        int failed_runs = 0;
        for (int k = 1;; ++k) {
            SCOPED_TRACE("allocation " + std::to_string(k));
            svctest::fail_allocation(k);
            bool handedOut = false;
            const unsigned long r = q.run(&handedOut);
            const bool reached = svctest::allocations_seen() >= k;
            svctest::fail_allocation(0);
            EXPECT_EQ(svctest::live_blocks(), live);
            if (!reached) {
                EXPECT_EQ(r, 0u) << "every allocation granted";
                break;
            }
            ++failed_runs;
            EXPECT_EQ(r, 1u);
            EXPECT_FALSE(handedOut);
            ASSERT_LT(k, 100) << "the query never stops allocating";
        }
        EXPECT_GT(failed_runs, 0);
    }
    EXPECT_EQ(svctest::bad_releases(), std::vector<std::string>());
}

}  // namespace
