// SPDX-License-Identifier: Apache-2.0
// Checks and a test base for the protector tests, built on keylib_fixture.h.
// Apart from it because they use gtest, which the fuzz programs that share
// the fixture do not link.
#ifndef TELMOR_TEST_KEYLIB_CHECKS_H
#define TELMOR_TEST_KEYLIB_CHECKS_H

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "keylib_fixture.h"

namespace kltest {

// A load in a new process that must be refused: expects `code`, no write
// and both copies as they were, and returns its one error line ("" when it
// logged another number of them, which is a failure too).
std::string refused_load_line(KeystoreFiles &ks, unsigned long code);

// A test through the key libraries' ABI: the tests' host table without
// faults, its counters and log cleared, before; no keystore loaded after.
class KeylibTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

// Loads `files`, encrypts `plain` under domain 50, runs `protect` (a move to
// a protector) when given, and unloads: the cipher, or empty when a step
// failed (a test failure too).
std::vector<uint8_t> sealed_text(KeystoreFiles &files, const std::vector<uint8_t> &plain,
                                 const std::function<unsigned long()> &protect = {});
// With a keystore loaded: `cipher` decrypts under domain 50 to `plain`.
void expect_decrypts(const std::vector<uint8_t> &cipher, const std::vector<uint8_t> &plain);

}  // namespace kltest

#endif
