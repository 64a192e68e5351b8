// SPDX-License-Identifier: Apache-2.0
#include "keylib_fixture.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace kltest {

KeystoreFiles::KeystoreFiles() {
    mkdir("/opt/telmor/keylib-tests", 0700);
    char tmpl[] = "/opt/telmor/keylib-tests/ksXXXXXX";
    if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir = tmpl;
    primary = dir + "/" + node_layout::kPrimaryName;
    standby = dir + "/" + node_layout::kStandbyName;
}

HX_VAQ_KEYSTORE_FILES KeystoreFiles::files() {
    // The library must copy the paths: these buffers change with every call.
    primaryBuf_ = primary;
    standbyBuf_ = standby;
    return HX_VAQ_KEYSTORE_FILES{primaryBuf_.data(), standbyBuf_.data()};
}

void KeystoreFiles::scribble() {
    std::fill(primaryBuf_.begin(), primaryBuf_.end(), 'x');
    std::fill(standbyBuf_.begin(), standbyBuf_.end(), 'y');
}

unsigned long load(KeystoreFiles &ks, size_t domains) {
    unsigned long rc = IvexRegFuncEx(host_table());
    if (rc != 0) return rc;
    HX_VAQ_KEYSTORE_FILES files = ks.files();
    rc = IvexInitializeEx(0, &files, 0, nullptr);
    ks.scribble();
    if (rc != 0) return rc;
    IvexSetRole(1);
    if ((rc = VaqRmvDomainEx(0)) != 0 || (rc = VaqRmvDomainEx(1)) != 0) return rc;
    for (size_t i = 0; i < domains && i < kDomains.size(); ++i) {
        VaqDomainRecord d{};
        d.domainId = kDomains[i].id;
        d.attr = 1;
        std::strncpy(d.name, kDomains[i].name, sizeof d.name - 1);
        if ((rc = VaqAddDomainEx(&d)) != 0) return rc;
        VaqKeyTypeRecord kt{};
        kt.keyType = 3;
        kt.keyAttr = 112;
        kt.lifeDays = 3650;
        if ((rc = VaqAddDomainKeyTypeEx(d.domainId, &kt)) != 0) return rc;
    }
    return 0;
}

unsigned long unload() { return IvexFinalizeEx(); }

FreshLoad load_in_new_process(KeystoreFiles &ks, size_t domains) {
    char path[] = "/opt/telmor/keylib-tests/freshXXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) throw std::runtime_error("mkstemp failed");
    close(fd);
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        clear_log();
        reset_counters();
        const unsigned long rc = load(ks, domains);
        std::ofstream out(path);
        out << rc << "\n" << write_calls() << "\n";
        for (const auto &l : error_lines()) out << l.message;
        out.close();
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error("child failed");
    std::ifstream in(path);
    FreshLoad r;
    in >> r.code >> r.writes;
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) r.errors.push_back(line);
    std::remove(path);
    return r;
}

std::vector<KeyInfo> list_keys() {
    std::vector<KeyInfo> out;
    int32_t n = VaqGetMkCount();
    for (int32_t i = 0; i < n; ++i) {
        VaqMkRecord r{};
        if (VaqGetMk(static_cast<uint32_t>(i), &r) != 0) throw std::runtime_error("VaqGetMk failed");
        KeyInfo k;
        k.domain = r.domainId;
        k.id = r.keyId;
        k.active = r.active == 1;
        k.origin = r.origin;
        k.material.resize(256);
        uint32_t len = 256;
        VaqMkRecord detail{};
        if (VaqGetMkDetail(r.domainId, r.keyId, &detail, k.material.data(), &len) != 0)
            throw std::runtime_error("VaqGetMkDetail failed");
        k.material.resize(len);
        out.push_back(k);
    }
    return out;
}

std::vector<KeyInfo> keys_of(const std::vector<KeyInfo> &all, uint32_t domain) {
    std::vector<KeyInfo> out;
    for (const auto &k : all)
        if (k.domain == domain) out.push_back(k);
    return out;
}

const KeyInfo *active_of(const std::vector<KeyInfo> &all, uint32_t domain) {
    for (const auto &k : all)
        if (k.domain == domain && k.active) return &k;
    return nullptr;
}

Bytes encrypt(uint32_t domain, const Bytes &plain, unsigned long *code) {
    uint32_t len = 0;
    unsigned long rc = QorGetCipherDataLenEx(static_cast<uint32_t>(plain.size()), &len);
    Bytes cipher(len);
    if (rc == 0)
        rc = QorEncryptEx(domain, QOR_ALG_AES256_GCM, plain.data(), static_cast<uint32_t>(plain.size()), cipher.data(),
                          &len);
    if (code) *code = rc;
    if (rc != 0) return {};
    cipher.resize(len);
    return cipher;
}

unsigned long decrypt(uint32_t domain, const Bytes &cipher, Bytes *plain, long capacity) {
    uint32_t cap = capacity < 0 ? static_cast<uint32_t>(cipher.size()) : static_cast<uint32_t>(capacity);
    Bytes out(cap + 1);
    uint32_t len = cap;
    unsigned long rc = QorDecryptEx(domain, cipher.data(), static_cast<uint32_t>(cipher.size()), out.data(), &len);
    if (rc == 0) {
        out.resize(len);
        if (plain) *plain = out;
    }
    return rc;
}

}  // namespace kltest
