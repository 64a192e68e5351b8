// SPDX-License-Identifier: Apache-2.0
// The limit on repeated lines: the first occurrence of each period is
// admitted with the count of those left out since, by the clock the host's
// services read; a clock set back starts a new period.
#include <gtest/gtest.h>

#include <vector>

#include "host/repeat_limit.h"
#include "host/sys.h"

namespace {

time_t g_now = 0;
time_t fake_time(time_t *out) {
    if (out) *out = g_now;
    return g_now;
}

struct Step {
    time_t at;
    bool admitted;
    uint64_t leftOut;  // when admitted
};

void run(time_t period, const std::vector<Step> &steps) {
    tv::RepeatLimit limit(period);
    for (const Step &s : steps) {
        SCOPED_TRACE("period " + std::to_string(period) + ", at " + std::to_string(s.at));
        g_now = s.at;
        uint64_t leftOut = 99;
        EXPECT_EQ(limit.admit(&leftOut), s.admitted);
        if (s.admitted) {
            EXPECT_EQ(leftOut, s.leftOut);
        }
    }
}

TEST(RepeatLimit, OneOccurrencePerPeriodIsAdmittedWithTheCountLeftOut) {
    tv::override_sys(&tv::SysCalls::time, fake_time);
    // Once a second: each new second admits, the same second does not.
    run(1, {{100, true, 0}, {100, false, 0}, {100, false, 0}, {101, true, 2}, {103, true, 0}});
    // Once a minute (a reload that keeps failing for one cause).
    run(60, {{1000, true, 0}, {1001, false, 0}, {1059, false, 0}, {1060, true, 2}, {1061, false, 0}, {1200, true, 1}});
    // A clock set back is a new period at once, not a minute's silence.
    run(60, {{5000, true, 0}, {5010, false, 0}, {4000, true, 1}, {4001, false, 0}});
    tv::restore_sys();
}

}  // namespace
