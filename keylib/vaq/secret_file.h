/* SPDX-License-Identifier: Apache-2.0 */
// The small secret files of the node-secret directory: the `file` protector's
// node secret and the `tpm2` protector's authorisation value. Both are read
// and made the same way, through the host's file services (VAQ_FILE_READ, and
// VAQ_FILE_CREATE_SECRET: exclusive, mode 0400, directory synced), so every
// check the host makes of that directory and its files holds for both.
//
// Layout, 44 bytes: magic (8), version 1 (2 bytes), 2 bytes reserved, 32
// random bytes.
#ifndef HXB_VAQ_SECRET_FILE_H
#define HXB_VAQ_SECRET_FILE_H

#include <string>

#include "bytes.h"
#include "crypto.h"
#include "host.h"
#include "status.h"

namespace vaq {

struct SecretFileKind {
    char magic[8];
    const char *owner;  // who speaks in the lines: "file protector"
    const char *noun;   // what the file is called in them: "node secret"
};

class SecretFile {
public:
    SecretFile(const Host &host, std::string path, const SecretFileKind &kind)
        : host_(host), path_(std::move(path)), kind_(kind) {}

    const std::string &path() const { return path_; }
    // Reads the 32 random bytes; missing (VAQ_ERR_SECRET_MISSING) and unreadable
    // or not one (VAQ_ERR_SECRET_UNREADABLE) are told apart.
    Status read(SecretArray<kKeyBytes> &out) const;
    // Reads it, or makes it when missing. The caller holds the node-wide
    // process lock: no other process of ours makes it at the same moment, and
    // the exclusive create stops anyone else's.
    Status read_or_create(SecretArray<kKeyBytes> &out) const;
    // Whether the file is there at all (whatever it holds).
    bool exists() const { return host_.exists(path_); }

private:
    bool well_formed(const FileContent &f) const;
    Status untrusted() const;
    Status create(SecretArray<kKeyBytes> &out) const;

    const Host &host_;
    std::string path_;
    const SecretFileKind &kind_;
};

}  // namespace vaq

#endif
