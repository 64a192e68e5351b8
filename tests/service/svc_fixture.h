/* SPDX-License-Identifier: Apache-2.0 */
// Shared set-up of the service tests that run against the scripted fake: the
// library initialised in the agent role on a keystore file that exists, the
// fake's record of the initialisation cleared, and the log emptied.
#ifndef TELMOR_TEST_SERVICE_SVC_FIXTURE_H
#define TELMOR_TEST_SERVICE_SVC_FIXTURE_H

#include <sys/ipc.h>
#include <sys/shm.h>

#include <atomic>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fake_keylib.h"
#include "log_reader.h"
#include "telmor_vaq_api.h"

namespace svctest {

inline constexpr char kPrimary[] = "/opt/telmor/agent/conf/vaq/conf/primary_ks.key";
inline constexpr char kStandby[] = "/opt/telmor/agent/conf/vaq/bkp/standby_ks.key";

inline void write_file(const std::string &path, const std::string &content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

// "LEVEL|message" of each line the library wrote, line ends dropped.
inline std::vector<std::string> log_messages() { return tvtest::api_messages(tvtest::read_log(1)); }

// The node's keystore version, read through an attachment of our own so it
// can be read while the library is not initialised.
inline uint32_t node_version() {
    const int id = shmget(0x20190529, 4096, 0);
    if (id < 0) return 0;
    void *addr = shmat(id, nullptr, SHM_RDONLY);
    if (addr == reinterpret_cast<void *>(-1)) return 0;
    const uint32_t v = std::atomic_ref<uint32_t>(*static_cast<uint32_t *>(addr)).load();
    shmdt(addr);
    return v;
}

class ServiceFake : public testing::Test {
protected:
    void SetUp() override {
        fake::reset();
        write_file(kPrimary, "keystore");
        ASSERT_EQ(TELMOR_VAQ_Initialize("HXA"), 0u);
        fake::reset();
        tvtest::clear_log(1);
    }
    void TearDown() override { TELMOR_VAQ_Finalize(); }
};

}  // namespace svctest

#endif
