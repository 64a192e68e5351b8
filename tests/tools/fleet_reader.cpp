// SPDX-License-Identifier: Apache-2.0
// One node's reader in the fleet rotation test: a long-running host process
// that, until told to stop, now and then encrypts a fresh secret under domain
// 50 and adds the text to its node's store (unless writes are paused), and
// decrypts every text in every node's store, pass after pass, counting
// failures.
//
//   fleet_reader EXCHANGE_DIR NODE
//
// Files in EXCHANGE_DIR: texts.NODE (this node's store, one text per line),
// pause (writes stop; the reader answers with paused.NODE), stop, passes.NODE
// (how many whole passes over the stores it has made), and at the end
// reader.NODE: "decryptions N failures M".
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "files.h"
#include "telmor_vaq_api.h"

namespace {

using tvtest::exists;
std::string slurp(const std::string &path) { return tvtest::read_file(path); }

// A new text every this many passes: each pass decrypts every stored text,
// so the stores grow with time, not with passes, and a slow machine's longer
// run does not make each pass longer still.
constexpr unsigned long long kPassesPerText = 16;

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: fleet_reader EXCHANGE_DIR NODE\n");
        return 2;
    }
    const std::string dir = argv[1], node = argv[2];
    if (TELMOR_VAQ_Initialize("HXA") != 0) {
        std::fprintf(stderr, "reader %s: cannot initialise\n", node.c_str());
        return 1;
    }
    const std::vector<std::string> stores = {dir + "/texts.A", dir + "/texts.B", dir + "/texts.C"};
    unsigned long long decryptions = 0, failures = 0, written = 0, passes = 0;
    bool last = false;
    for (;;) {
        if (exists(dir + "/stop")) last = true;  // one more full pass, then end
        if (exists(dir + "/pause")) {
            std::ofstream(dir + "/paused." + node) << "paused\n";
        } else if (!last && passes % kPassesPerText == 0) {
            const std::string secret = "secret " + node + " " + std::to_string(written);
            char *text = nullptr;
            uint32_t len = 0;
            if (TELMOR_VAQ_Encrypt(50, reinterpret_cast<const unsigned char *>(secret.data()),
                                   static_cast<uint32_t>(secret.size()), &text, &len) != 0) {
                std::fprintf(stderr, "reader %s: encryption failed\n", node.c_str());
                ++failures;
            } else {
                // One write of the whole line: a reader sees it whole or not at all.
                const std::string line = std::string(text) + "\n";
                HX_VAQ_MemFree(__LINE__, __FILE__, text);
                const int fd = open((dir + "/texts." + node).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
                if (fd < 0 || write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) ++failures;
                if (fd >= 0) close(fd);
                ++written;
            }
        }
        for (const std::string &store : stores) {
            const std::string all = slurp(store);
            size_t start = 0;
            for (size_t end; (end = all.find('\n', start)) != std::string::npos; start = end + 1) {
                const std::string text = all.substr(start, end - start);
                if (text.empty()) continue;
                unsigned char *plain = nullptr;
                uint32_t plainLen = 0;
                const unsigned long rc =
                    TELMOR_VAQ_Decrypt(50, text.c_str(), static_cast<uint32_t>(text.size()), &plain, &plainLen);
                ++decryptions;
                if (rc != 0) {
                    ++failures;
                    std::fprintf(stderr, "reader %s: %s does not decrypt (code %lu): %s\n", node.c_str(), store.c_str(),
                                 rc, text.c_str());
                }
                if (plain != nullptr) HX_VAQ_MemFree(__LINE__, __FILE__, plain);
            }
        }
        // Whole passes so far, published by a rename: the runbook waits for
        // every reader to pass over the stores after each of its steps.
        ++passes;
        std::ofstream(dir + "/passes." + node + ".tmp", std::ios::trunc) << passes << "\n";
        std::rename((dir + "/passes." + node + ".tmp").c_str(), (dir + "/passes." + node).c_str());
        if (last) break;
        usleep(2000);
    }
    TELMOR_VAQ_Finalize();
    std::ofstream(dir + "/reader." + node)
        << "written " << written << " decryptions " << decryptions << " failures " << failures << "\n";
    return failures == 0 ? 0 : 1;
}
