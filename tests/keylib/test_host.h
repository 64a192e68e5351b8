// A host-service table for testing the key libraries without the main library.
// Its file services can fail, or stop persisting after a number of bytes as a
// power cut would (the writes after the cut are lost while the library is told
// they worked); its process lock is a System V semaphore that forked children
// share; its log keeps every line in memory.
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
};

// The table; the same address every time. Creating the semaphore it uses
// happens on first call, so call it before forking children that share it.
const VaqHostServices *host_table();
// A copy of the table with one slot (1-based) cleared.
VaqHostServices table_without_slot(int slot);

FileFaults &faults();
void reset_faults();
// Bytes and calls of writes since the last reset_counters(), lost ones included.
uint64_t bytes_written();
uint64_t write_calls();
void reset_counters();

std::vector<LogLine> log_lines();
void clear_log();
// Lines at level 2 (errors) since the last clear_log().
std::vector<LogLine> error_lines();

}  // namespace kltest

#endif
