// SPDX-License-Identifier: Apache-2.0
#include "api_state.h"

#include <sstream>
#include <stdexcept>

#include "telmor_vaq_api.h"

namespace reltest {

std::vector<ApiKey> api_keys() {
    HX_VAQ_MK_LIST *list = nullptr;
    if (TELMOR_VAQ_Query_Mk_Info(&list) != 0 || list == nullptr)
        throw std::runtime_error("TELMOR_VAQ_Query_Mk_Info failed");
    std::vector<ApiKey> out;
    for (int32_t i = 0; i < list->count; ++i) {
        const HX_VAQ_MK *mk = list->items[i];
        ApiKey k;
        k.domain = mk->domainId;
        k.id = mk->keyId;
        k.active = mk->mkAttrA == 1;
        unsigned char record[64] = {};
        k.material.resize(256);
        uint32_t len = 256;
        if (TELMOR_VAQ_GetMkInfo(k.domain, k.id, record, k.material.data(), &len) != 0) {
            HX_VAQ_MK_FREE_ARRAY(list->items, list->count);
            HX_VAQ_MemFree(__LINE__, __FILE__, list);
            throw std::runtime_error("TELMOR_VAQ_GetMkInfo failed");
        }
        k.material.resize(len);
        out.push_back(k);
    }
    HX_VAQ_MK_FREE_ARRAY(list->items, list->count);
    HX_VAQ_MemFree(__LINE__, __FILE__, list);
    return out;
}

std::string describe(const std::vector<ApiKey> &keys) {
    std::ostringstream out;
    for (const auto &k : keys) out << " " << k.domain << "/" << k.id << (k.active ? "*" : "");
    return out.str();
}

std::string api_encrypt(uint32_t domain, const std::string &plain, unsigned long *code) {
    char *text = nullptr;
    uint32_t len = 0;
    unsigned long rc = TELMOR_VAQ_Encrypt(domain, reinterpret_cast<const unsigned char *>(plain.data()),
                                          static_cast<uint32_t>(plain.size()), &text, &len);
    if (code) *code = rc;
    if (rc != 0 || text == nullptr) return {};
    std::string out(text);
    HX_VAQ_MemFree(__LINE__, __FILE__, text);
    return out;
}

unsigned long api_decrypt(uint32_t domain, const std::string &text, std::string *plain) {
    unsigned char *out = nullptr;
    uint32_t len = 0;
    unsigned long rc = TELMOR_VAQ_Decrypt(domain, text.c_str(), static_cast<uint32_t>(text.size()), &out, &len);
    if (rc == 0 && plain) plain->assign(reinterpret_cast<char *>(out), len);
    HX_VAQ_MemFree(__LINE__, __FILE__, out);
    return rc;
}

}  // namespace reltest
