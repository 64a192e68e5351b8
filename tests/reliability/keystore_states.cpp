// SPDX-License-Identifier: Apache-2.0
#include "keystore_states.h"

#include <unistd.h>

#include <sstream>
#include <stdexcept>

namespace reltest {

Snapshot snapshot() {
    Snapshot s;
    s.keys = kltest::list_keys();
    VaqRootKeyRecord root{};
    if (VaqGetRootKeyInfo(&root) != 0) throw std::runtime_error("VaqGetRootKeyInfo failed");
    s.rootVersion = root.version;
    return s;
}

std::string describe(const Snapshot &s) {
    std::ostringstream out;
    out << "root v" << s.rootVersion << ";";
    for (const auto &k : s.keys)
        out << " " << k.domain << "/" << k.id << (k.active ? "*" : "") << "(" << k.material.size() << ")";
    return out.str();
}

void PrintTo(const Snapshot &s, std::ostream *out) { *out << describe(s); }

const KeyInfo *find_key(const Snapshot &s, uint32_t domain, uint32_t id) {
    for (const auto &k : s.keys)
        if (k.domain == domain && k.id == id) return &k;
    return nullptr;
}

PairImage save_pair(const kltest::KeystoreFiles &ks) {
    PairImage p;
    p.primaryExists = kltest::exists(ks.primary);
    p.standbyExists = kltest::exists(ks.standby);
    if (p.primaryExists) p.primary = kltest::read_bytes(ks.primary);
    if (p.standbyExists) p.standby = kltest::read_bytes(ks.standby);
    return p;
}

void restore_pair(const kltest::KeystoreFiles &ks, const PairImage &image) {
    unlink(ks.primary.c_str());
    unlink(ks.standby.c_str());
    if (image.primaryExists) kltest::write_bytes(ks.primary, image.primary);
    if (image.standbyExists) kltest::write_bytes(ks.standby, image.standby);
}

uint32_t le32(const Bytes &b, size_t at) {
    return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 | uint32_t{b[at + 3]} << 24;
}

Bytes image_of(const Bytes &file) {
    if (file.size() < 16) return file;
    uint32_t total = le32(file, 12);
    if (total > file.size()) return file;
    return Bytes(file.begin(), file.begin() + total);
}

}  // namespace reltest
