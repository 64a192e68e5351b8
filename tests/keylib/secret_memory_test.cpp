// SPDX-License-Identifier: Apache-2.0
// Key material lives on pages that a core dump leaves out and, for root,
// that are locked in memory; a block comes back zero after it held a key.
// Large plain buffers (keystore images) kept for the next load come back
// zero too, and are let go once loads stop asking for them.
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "hxb/plain_memory.h"
#include "hxb/secret_memory.h"
#include "bytes.h"
#include "../reliability/sanitizer.h"

namespace {

// The VmFlags line of the mapping that holds address p.
std::string vm_flags(const void *p) {
    const auto at = reinterpret_cast<uintptr_t>(p);
    std::ifstream smaps("/proc/self/smaps");
    std::string line;
    bool inside = false;
    while (std::getline(smaps, line)) {
        unsigned long from = 0, to = 0;
        if (std::sscanf(line.c_str(), "%lx-%lx ", &from, &to) == 2 && line.find(' ') < line.find(':', 0)) {
            inside = at >= from && at < to;
        } else if (inside && line.rfind("VmFlags:", 0) == 0) {
            return line;
        }
    }
    return "";
}

// Whether this process may lock a page at all: root may, unless a limit or a
// sanitizer's runtime (the address sanitizer answers mlock without locking)
// stands in the way. Locking is best effort; keeping pages out of dumps is not.
bool may_lock();

TEST(SecretMemory, KeyHoldersAreKeptOutOfCoreDumpsAndLocked) {
    const bool lockable = may_lock();
    vaq::SecretArray<32> root;
    vaq::SecureBytes master(std::vector<uint8_t>(200, 0x5a));
    uint8_t *big = static_cast<uint8_t *>(secret::allocate(10000));
    ASSERT_NE(big, nullptr);
    for (const void *p : {static_cast<const void *>(root.data()), static_cast<const void *>(master.data()),
                          static_cast<const void *>(big)}) {
        const std::string flags = vm_flags(p);
        ASSERT_FALSE(flags.empty());
        EXPECT_NE(flags.find(" dd"), std::string::npos) << flags;
        if (lockable) {
            EXPECT_NE(flags.find(" lo"), std::string::npos) << flags;
        }
    }
    secret::release(big, 10000);
}

TEST(SecretMemory, ABlockComesBackZero) {
    uint8_t *first = static_cast<uint8_t *>(secret::allocate(64));
    ASSERT_NE(first, nullptr);
    for (int i = 0; i < 64; ++i) first[i] = 0xA5;
    secret::release(first, 64);
    // The pool hands the block just given back out first.
    uint8_t *again = static_cast<uint8_t *>(secret::allocate(64));
    ASSERT_EQ(again, first);
    for (int i = 0; i < 64; ++i) EXPECT_EQ(again[i], 0) << i;
    secret::release(again, 64);
}

// A large block (a load's key material) given back is kept for the next
// load: it comes back wiped, and still out of core dumps.
TEST(SecretMemory, ALargeBlockKeptForReuseComesBackZeroAndOutOfDumps) {
    constexpr size_t kBytes = 10000;
    uint8_t *first = static_cast<uint8_t *>(secret::allocate(kBytes));
    ASSERT_NE(first, nullptr);
    for (size_t i = 0; i < kBytes; ++i) first[i] = 0xA5;
    secret::release(first, kBytes);
    uint8_t *again = static_cast<uint8_t *>(secret::allocate(kBytes));
    ASSERT_EQ(again, first) << "the block given back was not kept";
    size_t nonZero = 0;
    for (size_t i = 0; i < kBytes; ++i) nonZero += again[i] != 0;
    EXPECT_EQ(nonZero, 0u);
    EXPECT_NE(vm_flags(again).find(" dd"), std::string::npos);
    // A block of another size is not served from the kept one.
    uint8_t *other = static_cast<uint8_t *>(secret::allocate(3 * kBytes));
    ASSERT_NE(other, nullptr);
    EXPECT_NE(other, again);
    secret::release(other, 3 * kBytes);
    secret::release(again, kBytes);
}

size_t non_zero(const uint8_t *p, size_t n) {
    size_t count = 0;
    for (size_t i = 0; i < n; ++i) count += p[i] != 0;
    return count;
}

// A kept block serves the next request it fits, larger or smaller than the
// one it served, and comes back all zero: the bytes the last holder wrote
// and the part it never saw.
TEST(PlainMemory, AKeptBlockComesBackZeroForTheNextRequestItFits) {
#ifdef TELMOR_TEST_ASAN
    GTEST_SKIP() << "under the address sanitizer every block is the heap's";
#endif
    constexpr size_t kFirst = 200000;
    constexpr size_t kLarger = 230000;
    auto *first = static_cast<uint8_t *>(plain::allocate(kFirst));
    std::memset(first, 0xA5, kFirst);
    plain::release(first, kFirst);
    auto *larger = static_cast<uint8_t *>(plain::allocate(kLarger));
    ASSERT_EQ(larger, first) << "the block given back was not kept";
    EXPECT_EQ(non_zero(larger, kLarger), 0u);
    std::memset(larger, 0x5A, kLarger);
    plain::release(larger, kLarger);
    auto *again = static_cast<uint8_t *>(plain::allocate(kFirst));
    ASSERT_EQ(again, first);
    EXPECT_EQ(non_zero(again, kFirst), 0u);
    // A request the kept block is too small for gets a block of its own.
    auto *big = static_cast<uint8_t *>(plain::allocate(4 * kFirst));
    EXPECT_NE(big, again);
    EXPECT_EQ(non_zero(big, 4 * kFirst), 0u);
    plain::release(big, 4 * kFirst);
    plain::release(again, kFirst);
    // Nothing asked for them through a whole round: both are unmapped.
    plain::settle();
    EXPECT_FALSE(vm_flags(again).empty()) << "let go before a load could ask for it";
    plain::settle();
    EXPECT_TRUE(vm_flags(again).empty());
    EXPECT_TRUE(vm_flags(big).empty());
}

bool may_lock() {
    void *page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED) return false;
    const bool locked = mlock(page, 4096) == 0 && vm_flags(page).find(" lo") != std::string::npos;
    munmap(page, 4096);
    return locked;
}

}  // namespace
