// SPDX-License-Identifier: Apache-2.0
#include "export_header.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace cli {

namespace {

constexpr size_t kFixedHeader = 64;
constexpr size_t kMaxUri = 2048;

uint32_t le(const unsigned char *p, int bytes) {
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | p[i];
    return v;
}

}  // namespace

std::optional<ExportHeader> read_export_header(const std::string &file) {
    // Non-blocking: a FIFO planted at the path is refused, never waited on.
    const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    std::vector<unsigned char> head(kFixedHeader + kMaxUri);
    ssize_t n = -1;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) n = pread(fd, head.data(), head.size(), 0);
    close(fd);
    if (n < static_cast<ssize_t>(kFixedHeader) || std::memcmp(head.data(), "HXBVAQEX", 8) != 0) return std::nullopt;
    ExportHeader h;
    h.keyCount = le(&head[44], 4);
    // Format version 2, kind 2: sealed to a token key; its URI follows the fixed header.
    if (le(&head[8], 2) == 2 && le(&head[10], 2) == 2) {
        h.sealedToToken = true;
        const size_t uriBytes = le(&head[12], 2);
        if (uriBytes == 0 || uriBytes > kMaxUri || kFixedHeader + uriBytes > static_cast<size_t>(n)) return h;
        h.tokenUri.assign(reinterpret_cast<const char *>(&head[kFixedHeader]), uriBytes);
        for (char &c : h.tokenUri)
            if (c < 0x21 || c > 0x7e) c = '?';
    }
    return h;
}

SecretBuffer export_password(const Options &opt, const std::optional<ExportHeader> &header, const std::string &file) {
    if (!header || !header->sealedToToken) return read_password(opt, false, 1);
    if (opt.passwordFd >= 0) {
        std::fprintf(stderr,
                     "telmor-vaq %s: %s is sealed to the token key %s: no password is used, --password-fd "
                     "was not read\n",
                     opt.command.c_str(), file.c_str(),
                     header->tokenUri.empty() ? "(its URI unreadable)" : header->tokenUri.c_str());
    }
    return {};
}

void require_export_key(unsigned long code, const std::string &what, const Context &ctx,
                        const std::optional<ExportHeader> &header) {
    // About an export file, 2027 is the file's refusal, not the keystore's.
    if (code == 2027) {
        throw Failure{code, what + ": the key library does not read " + ctx.file +
                                ": a symbolic link, not a regular file, or another user's; after checking where it "
                                "came from, copy it to a file of your own ('cp " +
                                ctx.file + " NEW') and give that"};
    }
    if (code != 2044 || !header || header->tokenUri.empty()) return;
    throw Failure{code, what + " (sealed to " + header->tokenUri + "): " + cause(code, ctx)};
}

}  // namespace cli
