// SPDX-License-Identifier: Apache-2.0
// Key and domain queries against the scripted fake: member-by-member copies,
// the key-id list and its failures, the record queries, counts that cannot be
// allocated, null out-pointers, and the free functions.
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fake_keylib.h"
#include "service/record_copy.h"
#include "svc_fixture.h"
#include "telmor_vaq_api.h"
#include "tracked_alloc.h"

namespace {

using svctest::log_messages;
using svctest::ServiceFake;
using Lines = std::vector<std::string>;

uint32_t *const kUntouchedList = reinterpret_cast<uint32_t *>(0x5A5A);

VaqDateTime date(uint16_t year, uint8_t first) {
    return VaqDateTime{year,
                       first,
                       static_cast<uint8_t>(first + 1),
                       static_cast<uint8_t>(first + 2),
                       static_cast<uint8_t>(first + 3),
                       static_cast<uint8_t>(first + 4),
                       static_cast<uint8_t>(first + 5)};
}

VaqMkRecord mk(uint32_t domain, uint32_t key) {
    VaqMkRecord r{};
    r.domainId = domain;
    r.keyId = key;
    r.keyLen = 32;
    r.active = 1;
    r.created = date(2026, 1);
    r.expires = date(2036, 1);
    return r;
}

void expect_date(const HX_VAQ_DATE_TIME *got, const VaqDateTime &want) {
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->year, want.year);
    EXPECT_EQ(got->month, want.month);
    EXPECT_EQ(got->day, want.day);
    EXPECT_EQ(got->hour, want.hour);
    EXPECT_EQ(got->minute, want.minute);
    EXPECT_EQ(got->second, want.second);
    EXPECT_EQ(got->weekday, want.weekday);
}

TEST_F(ServiceFake, MasterKeyRecordsAreCopiedMemberByMember) {
    VaqMkRecord a{0x01020304, 0xF0E0D0C0, 0xFFFF, 0xFE, 0x80, date(0xFFFE, 200), date(1970, 11)};
    VaqMkRecord b = mk(9, 77);
    fake::inventory().mks = {a, b};
    const size_t live = svctest::live_blocks();

    HX_VAQ_MK_LIST *list = nullptr;
    ASSERT_EQ(TELMOR_VAQ_Query_Mk_Info(&list), 0u);
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->count, 2);
    const HX_VAQ_MK *m = list->items[0];
    EXPECT_EQ(m->domainId, 0x01020304u);
    EXPECT_EQ(m->keyId, 0xF0E0D0C0u);
    EXPECT_EQ(m->mkAttr16, 0xFFFFu) << "zero-extended, not sign-extended";
    EXPECT_EQ(m->mkAttrA, 0xFEu);
    EXPECT_EQ(m->mkAttrB, 0x80u);
    expect_date(m->mkTimeA, a.created);
    expect_date(m->mkTimeB, a.expires);
    EXPECT_EQ(list->items[1]->keyId, 77u);
    EXPECT_EQ(log_messages(), Lines({"INFO| TELMOR VAQ queryMkInfo over ret=0."}));

    HX_VAQ_MK_FREE_ARRAY(list->items, list->count);
    HX_VAQ_MemFree(__LINE__, "test", list);
    EXPECT_EQ(svctest::live_blocks(), live) << "the list is released whole by its free functions";
    EXPECT_EQ(svctest::bad_releases(), std::vector<std::string>());
}

TEST_F(ServiceFake, RootKeyAndItsConfigurationAreCopiedMemberByMember) {
    fake::inventory().rootKey = VaqRootKeyRecord{0xFFFF, 0xFEDC, date(2025, 3), date(0xFFFF, 9), 0xDEADBEEF};
    fake::inventory().rootKeyCfg = VaqRootKeyCfgRecord{3650, 0x80000001, {1, 2, 3, 4, 5, 6, 7, 8}};

    HX_VAQ_ROOT_KEY *root = nullptr;
    ASSERT_EQ(TELMOR_VAQ_Query_Root_Key(&root), 0u);
    ASSERT_NE(root, nullptr);
    ASSERT_NE(root->rk, nullptr);
    EXPECT_EQ(root->rk->rkAttr16, 0xFFFFu);
    EXPECT_EQ(root->rk->rkAttr32, 0xFEDCu);
    expect_date(root->rk->rkTimeA, date(2025, 3));
    expect_date(root->rk->rkTimeB, date(0xFFFF, 9));
    EXPECT_EQ(root->rk->rkValue, 0xDEADBEEFu);
    ASSERT_NE(root->rkCfg, nullptr);
    EXPECT_EQ(root->rkCfg->cfgValueA, 3650u);
    EXPECT_EQ(root->rkCfg->cfgValueB, 0x80000001u);
    for (uint8_t byte : root->reserved) EXPECT_EQ(byte, 0);
    EXPECT_EQ(log_messages(), Lines({"INFO| TELMOR VAQ queryRootInfo over ret=0."}));

    HX_VAQ_RK_FREE(root->rk);
    HX_VAQ_RK_CFG_FREE(root->rkCfg);
    HX_VAQ_MemFree(__LINE__, "test", root);
}

TEST_F(ServiceFake, RootKeyQueryMapsAnyCodeToOneAndHandsOutNothing) {
    const size_t live = svctest::live_blocks();
    fake::answer("VaqGetRootKeyInfo", 2019);
    HX_VAQ_ROOT_KEY *root = reinterpret_cast<HX_VAQ_ROOT_KEY *>(0x5A5A);
    EXPECT_EQ(TELMOR_VAQ_Query_Root_Key(&root), 1u);
    EXPECT_EQ(root, nullptr);
    EXPECT_TRUE(fake::calls("VaqGetRootKeyCfg").empty());
    EXPECT_EQ(log_messages(), Lines({"INFO| TELMOR VAQ queryRootInfo over ret=1."}));

    fake::reset();
    fake::answer("VaqGetRootKeyCfg", 2004);
    tvtest::clear_log(1);
    root = reinterpret_cast<HX_VAQ_ROOT_KEY *>(0x5A5A);
    EXPECT_EQ(TELMOR_VAQ_Query_Root_Key(&root), 1u);
    EXPECT_EQ(root, nullptr);
    EXPECT_EQ(log_messages(), Lines({"INFO| TELMOR VAQ queryRootInfo over ret=1."}));
    EXPECT_EQ(svctest::live_blocks(), live) << "the copied root key was released";
    EXPECT_EQ(svctest::bad_releases(), std::vector<std::string>());
}

TEST_F(ServiceFake, DomainQueryCopiesEveryDomainAndFailsWhole) {
    VaqDomainRecord d1{}, d2{};
    d1.domainId = 0xFFFFFFF0;
    d1.attr = 1;
    d2.domainId = 12;
    d2.attr = 0xFF;
    fake::inventory().domains = {d1, d2};

    HX_VAQ_DOMAIN_LIST *list = nullptr;
    ASSERT_EQ(TELMOR_VAQ_Query_Domain_Info(&list), 0u);
    ASSERT_EQ(list->count, 2);
    EXPECT_EQ(list->items[0]->domainId, 0xFFFFFFF0u);
    EXPECT_EQ(list->items[0]->domainAttr, 1);
    EXPECT_EQ(list->items[1]->domainId, 12u);
    EXPECT_EQ(list->items[1]->domainAttr, 0xFF);
    EXPECT_EQ(log_messages(), Lines({"INFO|TELMOR VAQ query domain info success."}));
    HX_VAQ_DOMAIN_FREE_ARRAY(list->items, list->count);
    HX_VAQ_MemFree(__LINE__, "test", list);

    const size_t live = svctest::live_blocks();
    fake::queue("VaqGetDomain", {0, 2017});
    tvtest::clear_log(1);
    list = reinterpret_cast<HX_VAQ_DOMAIN_LIST *>(0x5A5A);
    EXPECT_EQ(TELMOR_VAQ_Query_Domain_Info(&list), 1u);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(log_messages(), Lines({"ERROR|TELMOR VAQ query domain info failed."}));
    EXPECT_EQ(svctest::live_blocks(), live);
}

TEST_F(ServiceFake, MasterKeyListFailingAtAnIndexReleasesWhatWasCopied) {
    fake::inventory().mks = {mk(1, 1), mk(1, 2), mk(2, 3), mk(2, 4)};
    const size_t live = svctest::live_blocks();
    for (unsigned k = 0; k < 4; ++k) {
        SCOPED_TRACE(k);
        fake::reset();
        fake::inventory().mks = {mk(1, 1), mk(1, 2), mk(2, 3), mk(2, 4)};
        for (unsigned i = 0; i < k; ++i) fake::queue("VaqGetMk", {0});
        fake::queue("VaqGetMk", {5});
        tvtest::clear_log(1);
        HX_VAQ_MK_LIST *list = reinterpret_cast<HX_VAQ_MK_LIST *>(0x5A5A);
        EXPECT_EQ(TELMOR_VAQ_Query_Mk_Info(&list), 5u);
        EXPECT_EQ(list, nullptr);
        EXPECT_EQ(fake::calls("VaqGetMk").size(), k + 1);
        EXPECT_EQ(log_messages(), Lines({"INFO| TELMOR VAQ queryMkInfo over ret=5."}));
        EXPECT_EQ(svctest::live_blocks(), live);
    }
    EXPECT_EQ(svctest::bad_releases(), std::vector<std::string>());
}

TEST_F(ServiceFake, KeyIdListFiltersByDomainInIndexOrder) {
    fake::inventory().mks = {mk(1, 30), mk(2, 5), mk(1, 10), mk(3, 7), mk(1, 20)};
    uint32_t *ids = kUntouchedList;
    uint32_t count = 99;
    ASSERT_EQ(TELMOR_VAQ_GetKeyId_List(1, &ids, &count), 0u);
    ASSERT_EQ(count, 3u);
    EXPECT_EQ(std::vector<uint32_t>(ids, ids + count), std::vector<uint32_t>({30, 10, 20}));
    HX_VAQ_MemFree(__LINE__, "test", ids);
    EXPECT_EQ(log_messages(), Lines({"INFO| TELMOR VAQ getkeyidlist over ret=0."}));
}

TEST_F(ServiceFake, KeyIdListOutcomes) {
    const struct {
        const char *name;
        std::function<void()> script;
        unsigned long result;
        Lines lines;
        size_t getMkCalls;
    } cases[] = {
        {"no key in the domain",
         [] {
             fake::inventory().mks = {mk(1, 1), mk(2, 2)};
         },
         268,
         {"ERROR|the Mk_Info num is zero in domain[9].", "INFO| TELMOR VAQ getkeyidlist over ret=268."},
         2},
        {"no key at all", [] {}, 1, {"ERROR|master key count is 0.", "INFO| TELMOR VAQ getkeyidlist over ret=1."}, 0},
        {"VaqGetMk fails at index 3",
         [] {
             fake::inventory().mks = {mk(9, 1), mk(9, 2), mk(9, 3), mk(9, 4), mk(9, 5)};
             fake::queue("VaqGetMk", {0, 0, 0, 2017});
         },
         2017,
         {"ERROR|Failed to VaqGetMk, i=3, ulDomainId=9.", "INFO| TELMOR VAQ getkeyidlist over ret=2017."},
         4},
        {"negative count",
         [] {
             fake::inventory().overrideMkCount = true;
             fake::inventory().mkCount = -2;
         },
         1,
         {"ERROR|alloc tmpKeyId mem fail", "INFO| TELMOR VAQ getkeyidlist over ret=1."},
         0},
        // 0x40000001 ids would be 4 bytes after a 32-bit multiplication.
        {"count too large to allocate",
         [] {
             fake::inventory().mks = {mk(9, 1), mk(9, 2)};
             fake::inventory().overrideMkCount = true;
             fake::inventory().mkCount = 0x40000001;
         },
         1,
         {"ERROR|alloc tmpKeyId mem fail", "INFO| TELMOR VAQ getkeyidlist over ret=1."},
         0},
    };
    const size_t live = svctest::live_blocks();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        fake::reset();
        c.script();
        tvtest::clear_log(1);
        uint32_t *ids = kUntouchedList;
        uint32_t count = 99;
        EXPECT_EQ(TELMOR_VAQ_GetKeyId_List(9, &ids, &count), c.result);
        EXPECT_EQ(ids, kUntouchedList);
        EXPECT_EQ(count, 0u);
        EXPECT_EQ(log_messages(), c.lines);
        EXPECT_EQ(fake::calls("VaqGetMk").size(), c.getMkCalls);
        EXPECT_EQ(svctest::live_blocks(), live);
    }
}

TEST_F(ServiceFake, RecordListsRefuseCountsThatCannotBeAllocated) {
    fake::inventory().mks = {mk(1, 1)};
    fake::inventory().overrideMkCount = true;
    fake::inventory().overrideDomainCount = true;
    const size_t live = svctest::live_blocks();
    // 0x20000001 slots would be 8 bytes after a 32-bit multiplication.
    for (int32_t n : {0x20000001, -1, 0}) {
        SCOPED_TRACE(n);
        fake::inventory().mkCount = n;
        fake::inventory().domainCount = n;
        tvtest::clear_log(1);
        HX_VAQ_MK_LIST *mks = reinterpret_cast<HX_VAQ_MK_LIST *>(0x5A5A);
        EXPECT_EQ(TELMOR_VAQ_Query_Mk_Info(&mks), 1u);
        EXPECT_EQ(mks, nullptr);
        HX_VAQ_DOMAIN_LIST *domains = reinterpret_cast<HX_VAQ_DOMAIN_LIST *>(0x5A5A);
        EXPECT_EQ(TELMOR_VAQ_Query_Domain_Info(&domains), 1u);
        EXPECT_EQ(domains, nullptr);
        EXPECT_EQ(log_messages(), Lines({"ERROR|Failed to HX_VAQ_ALLOC.", "INFO| TELMOR VAQ queryMkInfo over ret=1.",
                                         "ERROR|Failed to HX_VAQ_ALLOC."}));
    }
    EXPECT_TRUE(fake::calls("VaqGetMk").empty());
    EXPECT_TRUE(fake::calls("VaqGetDomain").empty());
    EXPECT_EQ(svctest::live_blocks(), live);
}

TEST_F(ServiceFake, MkNumAndMkInfo) {
    fake::inventory().overrideMkCount = true;
    fake::inventory().mkCount = -3;
    int32_t n = 0;
    EXPECT_EQ(TELMOR_VAQ_GetMkNum(&n), 1u);
    EXPECT_EQ(n, -3) << "the count is stored for the caller all the same";
    fake::inventory().mkCount = 0;
    EXPECT_EQ(TELMOR_VAQ_GetMkNum(&n), 0u);
    EXPECT_EQ(n, 0);

    fake::answer("VaqGetMkDetail", 2012);
    void *a = reinterpret_cast<void *>(0x1111), *b = reinterpret_cast<void *>(0x2222),
         *c = reinterpret_cast<void *>(0x3333);
    EXPECT_EQ(TELMOR_VAQ_GetMkInfo(0xFFFFFFFE, 42, a, b, c), 2012u);
    fake::on("VaqGetMkDetail", [](const fake::Call &) { return 0UL; });
    EXPECT_EQ(TELMOR_VAQ_GetMkInfo(3, 4, nullptr, nullptr, nullptr), 0u);
    const auto calls = fake::calls("VaqGetMkDetail");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].args, std::vector<uint64_t>({0xFFFFFFFE, 42, 0x1111, 0x2222, 0x3333}));
    EXPECT_EQ(calls[1].args, std::vector<uint64_t>({3, 4, 0, 0, 0}));

    EXPECT_EQ(log_messages(), Lines({"ERROR|get mk_num is invalid, num=-3.", "INFO| TELMOR VAQ GetMkNum over ret=1.",
                                     "INFO| TELMOR VAQ GetMkNum over ret=0.", "ERROR|VaqGetMkDetail failed, ret=2012.",
                                     "INFO| TELMOR VAQ GetMkInfo over ret=0."}));
}

TEST_F(ServiceFake, NullOutPointersAreRefusedBeforeAnythingHappens) {
    uint32_t count = 5;
    uint32_t *ids = kUntouchedList;
    EXPECT_EQ(TELMOR_VAQ_GetKeyId_List(1, &ids, nullptr), 1u);
    EXPECT_EQ(TELMOR_VAQ_GetKeyId_List(1, nullptr, &count), 1u);
    EXPECT_EQ(TELMOR_VAQ_GetMkNum(nullptr), 1u);
    EXPECT_EQ(TELMOR_VAQ_Query_Mk_Info(nullptr), 1u);
    EXPECT_EQ(TELMOR_VAQ_Query_Root_Key(nullptr), 1u);
    EXPECT_EQ(TELMOR_VAQ_Query_Domain_Info(nullptr), 1u);
    EXPECT_EQ(log_messages(), Lines(6, "ERROR|parameter is null."));
    EXPECT_TRUE(fake::calls().empty());
    EXPECT_EQ(ids, kUntouchedList);
}

TEST(QueriesUninitialised, RefuseWithoutAskingTheKeyLibrary) {
    fake::reset();
    g_vaq_pid = getpid();
    g_node_type = 1;
    tvtest::clear_log(1);
    uint32_t *ids = kUntouchedList;
    uint32_t count = 5;
    EXPECT_EQ(TELMOR_VAQ_GetKeyId_List(1, &ids, &count), 1u);
    EXPECT_EQ(ids, kUntouchedList);
    EXPECT_EQ(count, 0u);
    HX_VAQ_MK_LIST *mks = reinterpret_cast<HX_VAQ_MK_LIST *>(0x5A5A);
    EXPECT_EQ(TELMOR_VAQ_Query_Mk_Info(&mks), 1u);
    EXPECT_EQ(mks, nullptr);
    HX_VAQ_ROOT_KEY *root = reinterpret_cast<HX_VAQ_ROOT_KEY *>(0x5A5A);
    EXPECT_EQ(TELMOR_VAQ_Query_Root_Key(&root), 1u);
    EXPECT_EQ(root, reinterpret_cast<HX_VAQ_ROOT_KEY *>(0x5A5A));
    HX_VAQ_DOMAIN_LIST *domains = reinterpret_cast<HX_VAQ_DOMAIN_LIST *>(0x5A5A);
    EXPECT_EQ(TELMOR_VAQ_Query_Domain_Info(&domains), 1u);
    EXPECT_EQ(domains, reinterpret_cast<HX_VAQ_DOMAIN_LIST *>(0x5A5A));

    const std::string notInit = "ERROR|TELMOR VAQ not Initialize";
    const std::string refused = "ERROR|check failed or load keystore failed.";
    EXPECT_EQ(log_messages(), Lines({notInit, refused, notInit, refused, notInit, refused, notInit,
                                     "ERROR|check failed or load keystore failed: 1"}));
    EXPECT_TRUE(fake::calls().empty());
}

TEST(RecordCopy, NullSourceGivesNullAndSucceeds) {
    HX_VAQ_DATE_TIME *dt = reinterpret_cast<HX_VAQ_DATE_TIME *>(1);
    HX_VAQ_MK *m = reinterpret_cast<HX_VAQ_MK *>(1);
    HX_VAQ_RK *rk = reinterpret_cast<HX_VAQ_RK *>(1);
    HX_VAQ_RK_CFG *cfg = reinterpret_cast<HX_VAQ_RK_CFG *>(1);
    HX_VAQ_DOMAIN *d = reinterpret_cast<HX_VAQ_DOMAIN *>(1);
    EXPECT_EQ(tv::copy_date_time(nullptr, &dt), 1);
    EXPECT_EQ(tv::copy_mk_info(nullptr, &m), 1);
    EXPECT_EQ(tv::copy_root_key_info(nullptr, &rk), 1);
    EXPECT_EQ(tv::copy_root_key_cfg(nullptr, &cfg), 1);
    EXPECT_EQ(tv::copy_domain_info(nullptr, &d), 1);
    EXPECT_EQ(dt, nullptr);
    EXPECT_EQ(m, nullptr);
    EXPECT_EQ(rk, nullptr);
    EXPECT_EQ(cfg, nullptr);
    EXPECT_EQ(d, nullptr);
}

template <typename T>
T *alloc_zeroed() {
    return static_cast<T *>(HX_VAQ_MemAlloc(__LINE__, "test", sizeof(T)));
}

HX_VAQ_MK *new_mk() {
    auto *m = alloc_zeroed<HX_VAQ_MK>();
    m->mkTimeA = alloc_zeroed<HX_VAQ_DATE_TIME>();
    m->mkTimeB = alloc_zeroed<HX_VAQ_DATE_TIME>();
    return m;
}

TEST(FreeFunctions, ArraysAndListsReleaseExactlyWhatTheyOwn) {
    const size_t live = svctest::live_blocks();
    HX_VAQ_MK_FREE_ARRAY(nullptr, 3);
    HX_VAQ_DOMAIN_FREE_ARRAY(nullptr, 3);
    HX_VAQ_MK_FREE(nullptr);
    HX_VAQ_RK_FREE(nullptr);
    HX_VAQ_MK_LINKED_LIST_FREE(nullptr, 1);
    HX_VAQ_KT_LINKED_LIST_FREE(nullptr, 1);

    // A count of zero releases only the array, whatever its slots hold.
    auto **items = static_cast<HX_VAQ_MK **>(HX_VAQ_MemAlloc(__LINE__, "test", 2 * sizeof(HX_VAQ_MK *)));
    items[0] = new_mk();
    HX_VAQ_MK *kept = items[0];
    HX_VAQ_MK_FREE_ARRAY(items, 0);
    EXPECT_EQ(svctest::live_blocks(), live + 3);
    HX_VAQ_MK_FREE(kept);
    EXPECT_EQ(svctest::live_blocks(), live);
    svctest::take_release_order();

    // Three nodes: flag 0 leaves the payloads, and the last node goes first.
    HX_VAQ_MK *payloads[3];
    HX_VAQ_LIST_NODE *nodes[3];
    for (int i = 0; i < 3; ++i) {
        payloads[i] = new_mk();
        nodes[i] = alloc_zeroed<HX_VAQ_LIST_NODE>();
        nodes[i]->payload = payloads[i];
        if (i > 0) nodes[i - 1]->next = nodes[i];
    }
    HX_VAQ_MK_LINKED_LIST_FREE(nodes[0], 0);
    EXPECT_EQ(svctest::take_release_order(), std::vector<void *>({nodes[2], nodes[1], nodes[0]}));
    EXPECT_EQ(svctest::live_blocks(), live + 9);

    // Flag 1: each payload with its date-times, then its node.
    for (int i = 0; i < 3; ++i) {
        nodes[i] = alloc_zeroed<HX_VAQ_LIST_NODE>();
        nodes[i]->payload = payloads[i];
        if (i > 0) nodes[i - 1]->next = nodes[i];
    }
    HX_VAQ_MK_LINKED_LIST_FREE(nodes[0], 1);
    EXPECT_EQ(svctest::live_blocks(), live);
    const auto order = svctest::take_release_order();
    ASSERT_EQ(order.size(), 12u);
    EXPECT_EQ(order[2], payloads[2]);
    EXPECT_EQ(order[3], nodes[2]);
    EXPECT_EQ(order[11], nodes[0]);

    // A list far longer than any stack could recurse through.
    HX_VAQ_LIST_NODE *head = nullptr;
    for (int i = 0; i < 1000000; ++i) {
        auto *node = alloc_zeroed<HX_VAQ_LIST_NODE>();
        node->next = head;
        head = node;
    }
    HX_VAQ_KT_LINKED_LIST_FREE(head, 1);
    EXPECT_EQ(svctest::live_blocks(), live);
    EXPECT_EQ(svctest::bad_releases(), std::vector<std::string>());
}

}  // namespace
