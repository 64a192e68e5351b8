/* SPDX-License-Identifier: Apache-2.0 */
// What each allocation-failure loop ran, printed when its suite ends.
#ifndef TELMOR_TEST_ALLOC_FIGURES_H
#define TELMOR_TEST_ALLOC_FIGURES_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace reltest {

struct AllocFigures {
    std::string name;
    uint64_t failedRuns = 0;
    uint64_t absorbed = 0;  // runs that answered 0 although an allocation failed
};

inline void print_alloc_figures(const std::vector<AllocFigures> &figures, int nameWidth) {
    std::printf("\nallocation-failure figures (runs with a failed allocation; of them answered 0)\n");
    uint64_t total = 0;
    for (const auto &f : figures) {
        std::printf("  %-*s %5llu; %llu\n", nameWidth, f.name.c_str(), static_cast<unsigned long long>(f.failedRuns),
                    static_cast<unsigned long long>(f.absorbed));
        total += f.failedRuns;
    }
    std::printf("  total: %llu runs\n", static_cast<unsigned long long>(total));
}

}  // namespace reltest

#endif
