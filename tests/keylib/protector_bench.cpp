// SPDX-License-Identifier: Apache-2.0
// Costs of the root protectors, through the key library's ABI with the tests'
// host table: the first initialisation of a keystore, the load by a process
// that has never opened it (the protector is asked), and the reload after
// another process's announcement (an unload and a load; the sealed root is
// unchanged, so the protector is not asked), and a move of an unprotected
// keystore to a protector (with the new root it makes, every key rewrapped).
// Prints medians in milliseconds,
// for docs/benchmarks.md. Run inside the sandbox:
//   scripts/sandbox -- build/default/bin/kl_protector_bench [REPETITIONS]
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include "keylib_fixture.h"
#include "legacy_keystore.h"
#include "softhsm_token.h"
#include "swtpm.h"
#include "vaq/vaq_private.h"

using namespace kltest;

namespace {

double ms_of(const std::function<void()> &f) {
    auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void must(unsigned long rc, const char *what) {
    if (rc != 0) {
        std::fprintf(stderr, "%s failed: %lu\n", what, rc);
        std::exit(1);
    }
}

// The load's time measured by a new process, which has no root of its own yet.
double load_in_child_ms(KeystoreFiles &ks) {
    int fds[2];
    if (pipe(fds) != 0) std::exit(1);
    pid_t pid = fork();
    if (pid == 0) {
        double ms = ms_of([&] { must(load(ks), "load"); });
        if (write(fds[1], &ms, sizeof ms) != sizeof ms) _exit(1);
        _exit(0);
    }
    double ms = -1;
    if (read(fds[0], &ms, sizeof ms) != sizeof ms) std::exit(1);
    waitpid(pid, nullptr, 0);
    close(fds[0]);
    close(fds[1]);
    return ms;
}

// Adds master keys until the keystore holds `keys` of them.
void grow(size_t keys) {
    static const Bytes material(32, 0x33);
    for (uint32_t id = 1; static_cast<size_t>(VaqGetMkCount()) < keys; ++id)
        must(VaqRegisterMkEx(50, 0x10000 + id, material.data(), 32), "register");
}

// How a keystore is moved to the protector measured. In run(), an empty one
// stands for the file protector, which every new keystore starts under.
using Protect = std::function<unsigned long()>;
Protect protect_with(uint32_t kind) {
    return [kind] { return VaqPrivProtect(kind, 0); };
}

void run(const char *name, const Protect &protect, int reps, size_t keys) {
    std::vector<double> first, cold, reload;
    for (int i = 0; i < reps; ++i) {
        KeystoreFiles ks;
        first.push_back(ms_of([&] {
            must(load(ks), "first load");
            if (protect) must(protect(), "protect");
        }));
        grow(keys);
        must(unload(), "unload");
        cold.push_back(load_in_child_ms(ks));
        must(load(ks), "load");
        for (int r = 0; r < 5; ++r)
            reload.push_back(ms_of([&] {
                must(unload(), "unload");
                must(load(ks), "reload");
            }));
        must(unload(), "unload");
    }
    std::printf("| %s | %zu | %.2f | %.2f | %.2f |\n", name, keys, median(first), median(cold), median(reload));
}

// `protect` of an unprotected keystore of `keys` master keys: what the
// move costs, the node secret made and both copies written included.
void run_move(const char *name, const Protect &protect, int reps, size_t keys) {
    std::vector<LegacyKey> legacy = legacy_keys();
    for (uint32_t id = 1; legacy.size() < keys; ++id) legacy.push_back({50, 0x10000 + id, false, Bytes(32, 0x33)});
    const Bytes image = legacy_image(5, random_root(), legacy);
    std::vector<double> move;
    for (int i = 0; i < reps; ++i) {
        KeystoreFiles ks;
        write_bytes(ks.primary, image);
        write_bytes(ks.standby, image);
        must(load(ks), "load");
        move.push_back(ms_of([&] { must(protect(), "protect"); }));
        must(unload(), "unload");
    }
    std::printf("| %s | %zu | %.2f |\n", name, keys, median(move));
}

}  // namespace

int main(int argc, char **argv) {
    const int reps = argc > 1 ? std::atoi(argv[1]) : 10;
    host_table();
    Swtpm tpm;
    const bool haveTpm = tpm.start();
    if (haveTpm) use_tcti(tpm.tcti());
    // A SoftHSM2 token with its key and PIN file, as the tests make them.
    std::string tokenUri;
    if (tvtest::SoftHsmToken::available()) {
        tvtest::SoftHsmToken token("bench-kek");
        if (token.ok() && token.make_key("kek")) {
            tvtest::SoftHsmToken::write_pin("/etc/telmor/vaq/bench.pin");
            tokenUri = token.uri("kek", "/etc/telmor/vaq/bench.pin");
        }
    }
    const Protect pkcs11 = [&tokenUri] { return VaqPrivProtectToken(tokenUri.c_str()); };
    std::printf(
        "| protector | master keys | first initialisation (ms) | load in a new process (ms) "
        "| reload, sealed root unchanged (ms) |\n|---|---|---|---|---|\n");
    for (size_t keys : {size_t{12}, size_t{500}}) {
        run("file", {}, reps, keys);
        if (haveTpm) run("tpm2 (swtpm)", protect_with(VAQ_PRIV_PROTECTOR_TPM2), reps, keys);
        if (!tokenUri.empty()) run("pkcs11 (SoftHSM2)", pkcs11, reps, keys);
    }
    std::printf("\n| move of an unprotected keystore to | master keys | protect (ms) |\n|---|---|---|\n");
    for (size_t keys : {size_t{12}, size_t{1000}}) {
        run_move("file", protect_with(VAQ_PRIV_PROTECTOR_FILE), reps, keys);
        if (haveTpm) run_move("tpm2 (swtpm)", protect_with(VAQ_PRIV_PROTECTOR_TPM2), reps, keys);
        if (!tokenUri.empty()) run_move("pkcs11 (SoftHSM2)", pkcs11, reps, keys);
    }
    if (!haveTpm) std::printf("(swtpm could not be started: no tpm2 figures)\n");
    if (tokenUri.empty()) std::printf("(no SoftHSM2 token could be made: no pkcs11 figures)\n");
    return 0;
}
