/* SPDX-License-Identifier: Apache-2.0 */
// Shared set-up of the service tests that run against the scripted fake: the
// library initialised in the agent role on a keystore file that exists, the
// fake's record of the initialisation cleared, and the log emptied.
#ifndef TELMOR_TEST_SERVICE_SVC_FIXTURE_H
#define TELMOR_TEST_SERVICE_SVC_FIXTURE_H

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fake_keylib.h"
#include "files.h"
#include "log_reader.h"
#include "node_layout.h"
#include "node_state.h"
#include "telmor_vaq_api.h"

namespace svctest {

inline constexpr const char *kPrimary = node_layout::kAgent.primary;
inline constexpr const char *kStandby = node_layout::kAgent.standby;

using tvtest::write_file;

// "LEVEL|message" of each line the library wrote, line ends dropped.
inline std::vector<std::string> log_messages() { return tvtest::api_messages(tvtest::read_log(1)); }

// The node's keystore version, 0 when there is no segment.
inline uint32_t node_version() { return tvtest::shared_version(0); }

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
