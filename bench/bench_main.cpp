// SPDX-License-Identifier: Apache-2.0
// telmor_bench: the library's figures beside their baselines, in one run.
// Run it through scripts/bench (or scripts/sandbox -- build/.../telmor_bench):
// the library uses the real keystore and log paths, which only the sandbox
// makes safe to write.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "in_sandbox.h"
#include "library_session.h"
#include "memory_bench.h"

namespace {

std::string load_average() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

}  // namespace

int main(int argc, char **argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], bench::kMemoryChildFlag, std::strlen(bench::kMemoryChildFlag)) == 0)
            return bench::run_memory_child(argv[i] + std::strlen(bench::kMemoryChildFlag));
    }
    if (!tvtest::in_sandbox()) {
        std::fprintf(stderr, "telmor_bench runs only inside the sandbox: scripts/sandbox -- %s\n", argv[0]);
        return 2;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::AddCustomContext("load_average_at_start", load_average());
    const int rc = benchmark::RunSpecifiedBenchmarks() > 0 ? 0 : 1;
    bench::stop_library();
    std::fprintf(stderr, "load average at end: %s\n", load_average().c_str());
    benchmark::Shutdown();
    return rc;
}
