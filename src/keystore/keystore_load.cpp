// SPDX-License-Identifier: Apache-2.0
// Loading the keystore pair into the key library and provisioning the domain
// table; unloading it again.
#include <cstdint>

#include "common/log.h"
#include "host/last_failure.h"
#include "keystore/domain_records.h"
#include "keystore/keystore_files_seen.h"
#include "keystore/library_state.h"
#include "telmor_vaq_api.h"
#include "vaq/vaq_api.h"

namespace {

// An add's answer goes to callers as a signed 32-bit code widened with its sign.
// An answer that is non-zero only above its low 32 bits would come out as 0,
// a failure reported as success, so it becomes the generic failure instead.
unsigned long add_failure_code(unsigned long answer) {
    const auto widened = static_cast<unsigned long>(static_cast<long>(static_cast<int32_t>(answer)));
    return widened != 0 ? widened : 1;
}

}  // namespace

extern "C" unsigned long TELMOR_VAQ_delete_domain(void) {
    for (uint32_t id : {0u, 1u}) {
        const unsigned long ret = VaqRmvDomainEx(id);
        if (ret != 0) {
            VAQ_LOG(tv::kError, "VaqRmvDomainEx failed, ret=%lu\n", ret);
            return ret;
        }
    }
    return 0;
}

extern "C" unsigned long TELMOR_VAQ_add_domain(void) {
    for (const tv::DomainRow &row : tv::kDomainTable) {
        if (const unsigned long ret = tv::add_one_domain(row.name, row.id); ret != 0) {
            return add_failure_code(ret);
        }
        if (const unsigned long ret = tv::add_domain_key_type(row.id); ret != 0) {
            return add_failure_code(ret);
        }
    }
    return 0;
}

extern "C" unsigned long TELMOR_VAQ_Unloadkeystore(void) {
    const unsigned long ret = IvexFinalizeEx();
    tv::g_keystore_loaded = false;
    VAQ_LOG(tv::kInfo, "IvexFinalizeEx success, ret=%lu\n", ret);
    return ret;
}

extern "C" unsigned long TELMOR_VAQ_Loadkeystore(void) {
    unsigned long result = 1;
    tv::note_keystore_files();
    const unsigned long init = IvexInitializeEx(0, &g_pstFileName, 0, nullptr);
    if (init != 0) {
        tv::record_code(init);
        VAQ_LOG(tv::kError, "IvexInitializeEx failed, ret=%lu\n", init);
    } else {
        tv::g_keystore_loaded = true;
        IvexSetRole(1);
        VAQ_LOG(tv::kInfo, "IvexInitializeEx success, ret=%lu\n", init);
        // The provisioning's code is recorded like the load's: a change it
        // makes (a fresh keystore's domains) may fail with a code that says
        // whether the files hold it.
        if (const unsigned long ret = TELMOR_VAQ_delete_domain(); ret != 0) {
            tv::record_code(ret);
            VAQ_LOG(tv::kError, "TELMOR_VAQ_delete_domain failed, ret=%lu\n", ret);
        } else if (const unsigned long added = TELMOR_VAQ_add_domain(); added != 0) {
            tv::record_code(added);
            VAQ_LOG(tv::kError, "TELMOR_VAQ_add_domain failed, ret=%lu\n", added);
        } else {
            result = 0;
        }
    }
    // A failed IvexInitializeEx is finalised too: the key library may hold
    // part of a load.
    if (result != 0) TELMOR_VAQ_Unloadkeystore();
    VAQ_LOG(tv::kInfo, "TELMOR_VAQ_Loadkey end, ret  =%d\n", static_cast<int>(result));
    return result;
}
