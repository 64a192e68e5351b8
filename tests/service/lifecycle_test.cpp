// SPDX-License-Identifier: Apache-2.0
// Key lifecycle against the scripted fake: the arguments each operation hands
// on, its failure and closing lines, and which operations move the node's
// keystore version.
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "child.h"
#include "fake_keylib.h"
#include "svc_fixture.h"
#include "telmor_vaq_api.h"

namespace {

using svctest::log_messages;
using svctest::node_version;
using svctest::ServiceFake;
using Lines = std::vector<std::string>;

uint64_t addr(const void *p) { return reinterpret_cast<uintptr_t>(p); }

uint32_t keyOut = 0;
uint32_t checkOut = 0;
const unsigned char kKey[32] = {1, 2, 3};
const unsigned char kPassword[] = "pw";
const char kFile[] = "/opt/telmor/mk.export";

struct Operation {
    const char *name;
    std::function<unsigned long()> run;
    const char *libraryCall;
    std::vector<uint64_t> args;
    const char *failureLine;  // with %lu replaced by the code
    const char *closingLine;  // null: none
    bool movesVersion;
};

std::vector<Operation> operations() {
    return {
        {"CreateMK",
         [] { return TELMOR_VAQ_CreateMK(0xFFFFFFFF, &keyOut); },
         "VaqCreateMkEx",
         {0xFFFFFFFF, addr(&keyOut)},
         "VaqCreateMkEx failed, ret=%lu.",
         " TELMOR VAQ CreateMK over ret=%lu.",
         false},
        {"UpdateMK",
         [] { return TELMOR_VAQ_UpdateMK(3, 0x80000000, kKey, 32); },
         "VaqRegisterMkEx",
         {3, 0x80000000, addr(kKey), 32},
         "VaqRegisterMkEx failed, ret=%lu.",
         " TELMOR VAQ UpdateMK over ret=%lu.shm verison %d",
         true},
        {"ActiveMK",
         [] { return TELMOR_VAQ_ActiveMK(4, 77); },
         "VaqActivateMk",
         {4, 77},
         "VaqActivateMk failed, ret=%lu.",
         " TELMOR VAQ ActiveMK over ret=%lu.shm version %d",
         true},
        {"Delete",
         [] { return TELMOR_VAQ_Delete(5, 78); },
         "VaqRmvMk",
         {5, 78},
         "VaqRmvMk failed, ret=%lu.",
         " TELMOR VAQ deletekey over ret=%lu.",
         false},
        {"UpdateRootKey",
         [] { return TELMOR_VAQ_UpdateRootKey(); },
         "VaqUpdateRootKey",
         {0, 0},
         "VaqUpdateRootKey failed, ret=%lu.",
         " TELMOR VAQ UpdateRootkey over ret=%lu.",
         false},
        {"ExportMkFile",
         [] { return TELMOR_VAQ_ExportMkFile(kFile, kPassword, 2); },
         "VaqExportMkFileEx",
         {addr(kFile), addr(kPassword), 2, 1000},
         "Failed to VaqExportMkFileEx, ret = %lu.",
         " TELMOR VAQ ExportMkFile over ret=%lu.",
         false},
        {"ImportMkFile",
         [] { return TELMOR_VAQ_ImportMkFile(kFile, kPassword, 2); },
         "VaqImportMkFileEx",
         {addr(kFile), addr(kPassword), 2},
         "Failed to VaqImportMkFileEx, ret = %lu.",
         " TELMOR VAQ ImportMkFile over ret=%lu.",
         false},
        {"CheckKeyStore",
         [] { return TELMOR_VAQ_CheckKeyStore(1, &checkOut); },
         "VaqCheckKeyStore",
         {1, addr(&checkOut)},
         "TELMOR_VAQ_CheckKeyStore failed, ret=%lu.",
         nullptr,
         false},
    };
}

// The line as written: %lu takes the code, %d the version.
std::string format(const char *fmt, unsigned long code, uint32_t version) {
    std::string line = fmt;
    for (const auto &[from, to] : {std::pair<std::string, std::string>{"%lu", std::to_string(code)},
                                   {"%d", std::to_string(static_cast<int32_t>(version))}}) {
        if (const auto at = line.find(from); at != std::string::npos) line.replace(at, from.size(), to);
    }
    return line;
}

TEST_F(ServiceFake, EachOperationHandsOnItsArgumentsAndLogsItsLines) {
    for (const unsigned long code : {0UL, 2013UL}) {
        for (const Operation &op : operations()) {
            SCOPED_TRACE(std::string(op.name) + " answering " + std::to_string(code));
            fake::reset();
            fake::answer(op.libraryCall, code);
            tvtest::clear_log(1);
            const uint32_t before = node_version();

            EXPECT_EQ(op.run(), code);

            const auto calls = fake::calls();
            ASSERT_EQ(calls.size(), 1u) << "exactly one call into the key library";
            EXPECT_EQ(calls[0].fn, op.libraryCall);
            EXPECT_EQ(calls[0].args, op.args);

            const uint32_t after = node_version();
            EXPECT_EQ(after, before + (op.movesVersion ? 1 : 0));
            EXPECT_EQ(g_self_keystore_version, after) << "the changing process stays in step";

            Lines expected;
            if (code != 0) expected.push_back("ERROR|" + format(op.failureLine, code, after));
            if (op.closingLine != nullptr) expected.push_back("INFO|" + format(op.closingLine, code, after));
            EXPECT_EQ(log_messages(), expected);
        }
    }
}

TEST_F(ServiceFake, ChangingProcessDoesNotReloadAfterItsOwnChange) {
    const uint32_t before = node_version();
    ASSERT_EQ(TELMOR_VAQ_ActiveMK(1, 2), 0u);
    EXPECT_EQ(node_version(), before + 1);
    fake::reset();
    ASSERT_EQ(TELMOR_VAQ_Delete(1, 3), 0u);
    EXPECT_EQ(fake::call_names(), std::vector<std::string>({"VaqRmvMk"}));
}

TEST_F(ServiceFake, ActiveMkMakesAProcessLoadedBeforeReload) {
    tvtest::Gate changed;
    const pid_t other = tvtest::spawn([&] {
        if (!changed.wait()) return 3;
        fake::reset();
        if (TELMOR_VAQ_Delete(1, 3) != 0) return 1;
        const auto names = fake::call_names();
        return names.size() > 1 && names.front() == "IvexFinalizeEx" && names.back() == "VaqRmvMk" ? 0 : 2;
    });
    ASSERT_EQ(TELMOR_VAQ_ActiveMK(1, 2), 0u);
    changed.post();
    EXPECT_EQ(tvtest::wait_child(other), 0) << "the other process reloads before its next call";
}

// A change announced by someone else while this process's own change runs is
// covered by the same count: the process must not adopt it as loaded.
TEST_F(ServiceFake, ChangeAnnouncedMeanwhileLeavesTheProcessBehind) {
    fake::on("VaqRegisterMkEx", [](const fake::Call &) {
        TELMOR_update_shm();
        return 0UL;
    });
    const uint32_t before = node_version();
    ASSERT_EQ(TELMOR_VAQ_UpdateMK(1, 2, kKey, 32), 0u);
    EXPECT_EQ(node_version(), before + 2);
    EXPECT_NE(g_self_keystore_version, node_version());

    fake::reset();
    ASSERT_EQ(TELMOR_VAQ_Delete(1, 3), 0u);
    const auto names = fake::call_names();
    ASSERT_FALSE(names.empty());
    EXPECT_EQ(names.front(), "IvexFinalizeEx") << "the next operation reloads";
}

TEST(LifecycleUninitialised, EveryOperationRefusesWithoutCallingTheKeyLibrary) {
    fake::reset();
    svctest::write_file(svctest::kPrimary, "keystore");
    ASSERT_EQ(TELMOR_VAQ_Initialize("HXA"), 0u);
    ASSERT_EQ(TELMOR_VAQ_Finalize(), 0u);
    fake::reset();
    tvtest::clear_log(1);
    const uint32_t before = node_version();
    for (const Operation &op : operations()) {
        EXPECT_EQ(op.run(), 1u) << op.name;
    }
    EXPECT_TRUE(fake::calls().empty());
    EXPECT_EQ(node_version(), before);
    Lines expected;
    for (size_t i = 0; i < operations().size(); ++i) {
        expected.push_back("ERROR|TELMOR VAQ not Initialize");
        expected.push_back("ERROR|check failed or load keystore failed.");
    }
    EXPECT_EQ(log_messages(), expected);
}

}  // namespace
