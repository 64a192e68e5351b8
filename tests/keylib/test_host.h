/* SPDX-License-Identifier: Apache-2.0 */
// A host-service table for testing the key libraries without the main library.
// Its file services can fail, or stop persisting after a number of bytes or of
// file operations as a power cut would (the writes after the cut are lost while
// the library is told they worked); its process lock is a System V semaphore
// that forked children share; its log keeps every line in memory.
#ifndef TELMOR_TEST_KEYLIB_TEST_HOST_H
#define TELMOR_TEST_KEYLIB_TEST_HOST_H

#include <cstdint>
#include <string>
#include <vector>

#include "vaq/vaq_host_services.h"

namespace kltest {

struct LogLine {
    int32_t level;
    std::string module;
    std::string message;
};

// Faults and counters of the file services. Reset with reset_faults().
// Modes 3 and 4 of the open service create exclusively (O_EXCL, O_NOFOLLOW;
// 0600 and 0400) and sync the directory, as the main library's host does.
struct FileFaults {
    // Bytes that still reach the disk; every byte written after them is lost.
    // Negative: no cut.
    int64_t persistBudget = -1;
    // Every write answers 0 and writes nothing.
    bool failWrites = false;
    // Every open for writing answers null.
    bool failWriteOpens = false;
    // The entropy service answers 0.
    bool failEntropy = false;

    // Faults counted in file operations: every call of slots 4 to 12 and 14 is
    // one, numbered from 1 after reset_counters().
    //
    // The operation with this number fails as a disk would: an open answers
    // null, a seek or sync answers failure, a read brings in half its bytes
    // and answers 0, a write stores the first half of its bytes and answers 0, a close releases the descriptor and answers
    // -1, a removal leaves the file, an existence test answers 0. 0: none.
    uint64_t failOp = 0;
    // Power cut after this operation: later writes and removals reach nothing
    // (files they would create are not made) while every one answers success.
    // 0: no cut.
    uint64_t cutAfterOp = 0;
    // With cutAfterOp, the cut falls inside the next write, which keeps the
    // first half of its bytes.
    bool tornAtCut = false;
    // A write failOp fails: every byte lands and only its sync fails (true),
    // or half of them (false); the errno it leaves.
    bool failWriteWhole = false;
    int failWriteErrno = 5;  // EIO
};

// The table; the same address every time. Creating the semaphore it uses
// happens on first call, so call it before forking children that share it.
const VaqHostServices *host_table();
// A copy of the table with one slot (1-based) cleared.
VaqHostServices table_without_slot(int slot);

FileFaults &faults();
void reset_faults();
// Arms one fault at file operation n: the operation fails, or every
// operation after it is cut (the first write after the cut torn if asked).
void arm_fault(uint64_t n, bool fail, bool torn);
// Bytes and calls of writes since the last reset_counters(), lost ones included.
uint64_t bytes_written();
uint64_t write_calls();
// File operations since the last reset_counters(), as FileFaults counts them.
uint64_t file_ops();
// Whether the operation failOp made fail was a write, since reset_counters().
bool failed_a_write();
// Paths given to the open service since the last reset_counters(), in order,
// while recording is on (it allocates, so it is off by default).
void record_opened_paths(bool on);
std::vector<std::string> opened_paths();
void reset_counters();

std::vector<LogLine> log_lines();
// Drops every line and the memory that held them.
void clear_log();
// Lines at level 2 (errors) since the last clear_log().
std::vector<LogLine> error_lines();

}  // namespace kltest

#endif
