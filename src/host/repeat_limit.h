/* SPDX-License-Identifier: Apache-2.0 */
// Log lines of a failure that anyone who can hand the library a text can
// repeat at will: written at most once per second per process, so that such
// texts can neither fill the log's disk nor make every caller wait on it.
#ifndef TELMOR_VAQ_HOST_REPEAT_LIMIT_H
#define TELMOR_VAQ_HOST_REPEAT_LIMIT_H

#include <atomic>
#include <cstdint>
#include <ctime>

namespace tv {

class RepeatLimit {
public:
    // True for the first occurrence in a second (by the clock, no system
    // call): its lines are to be written, and *leftOut holds how many
    // occurrences since the last written one were not. False otherwise; the
    // occurrence is counted.
    bool admit(uint64_t *leftOut);

private:
    std::atomic<time_t> second_{-1};
    std::atomic<uint64_t> leftOut_{0};
};

}  // namespace tv

#endif  // TELMOR_VAQ_HOST_REPEAT_LIMIT_H
