/* SPDX-License-Identifier: Apache-2.0 */
// Log lines of a failure that repeats at will (a text anyone can hand the
// library, a reload tried again while its cause lasts): written at most once
// per period (a second unless told) per process, so that they can neither
// fill the log's disk nor make every caller wait on it.
#ifndef TELMOR_VAQ_HOST_REPEAT_LIMIT_H
#define TELMOR_VAQ_HOST_REPEAT_LIMIT_H

#include <atomic>
#include <cstdint>
#include <ctime>

namespace tv {

class RepeatLimit {
public:
    constexpr explicit RepeatLimit(time_t periodSeconds = 1) : period_(periodSeconds) {}
    // True for the first occurrence in a period (by the clock, no system
    // call): its lines are to be written, and *leftOut holds how many
    // occurrences since the last written one were not. False otherwise; the
    // occurrence is counted.
    bool admit(uint64_t *leftOut);

private:
    const time_t period_;
    std::atomic<time_t> second_{-1};
    std::atomic<uint64_t> leftOut_{0};
};

}  // namespace tv

#endif  // TELMOR_VAQ_HOST_REPEAT_LIMIT_H
