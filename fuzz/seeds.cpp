// SPDX-License-Identifier: Apache-2.0
#include "seeds.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace fuzzseed {

bool wanted() { return std::getenv("TELMOR_FUZZ_SEEDS_TO") != nullptr; }

void write(const std::string &name, const std::vector<uint8_t> &bytes) {
    const std::string path = std::string(std::getenv("TELMOR_FUZZ_SEEDS_TO")) + "/" + name;
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    std::printf("seed %s: %zu bytes\n", path.c_str(), bytes.size());
}

void done() { std::exit(0); }

}  // namespace fuzzseed
