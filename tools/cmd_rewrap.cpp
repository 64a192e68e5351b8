// SPDX-License-Identifier: Apache-2.0
// rewrap: stored texts moved to the domain's active key, so old keys can be
// retired.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "causes.h"
#include "command_table.h"
#include "secret_io.h"
#include "session.h"
#include "telmor_vaq_api.h"

namespace cli {

namespace {

constexpr size_t kInputLimit = size_t{1} << 30;

struct Line {
    std::string source;  // "stdin" or the file name
    size_t number;       // 1-based, within its source
    std::string text;
};

void split_lines(const std::string &source, std::string_view all, std::vector<Line> &out) {
    size_t number = 0;
    for (size_t start = 0; start < all.size();) {
        size_t end = all.find('\n', start);
        if (end == std::string_view::npos) end = all.size();
        out.push_back({source, ++number, std::string(all.substr(start, end - start))});
        start = end + 1;
    }
}

std::vector<Line> read_lines(const Options &opt) {
    std::vector<Line> lines;
    if (opt.args.empty()) {
        SecretBuffer in = read_all_secret(STDIN_FILENO, kInputLimit);
        split_lines("stdin", in.view(), lines);
        return lines;
    }
    for (const std::string &file : opt.args) {
        const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            const std::string why = explain_io(file, false);
            throw tool_failure("cannot open " + file + ": " + (why.empty() ? std::strerror(errno) : why));
        }
        SecretBuffer in;
        try {
            in = read_all_secret(fd, kInputLimit);
        } catch (...) {
            close(fd);
            throw;
        }
        close(fd);
        split_lines(file, in.view(), lines);
    }
    return lines;
}

int cmd_rewrap(const Options &opt) {
    const uint32_t domain = *opt.domain;
    const Context ctx{opt.role, domain, {}, {}};
    Session s(opt.role);
    need_domain_exists(domain, ctx);
    const std::optional<uint32_t> active = active_key(domain);
    if (!active) throw tool_failure("domain " + std::to_string(domain) + " has no active key: activate one first");
    const std::vector<Line> lines = read_lines(opt);
    // Nothing is written until every line is done, so a failure leaves no
    // half-rewrapped output behind.
    std::string out, report;
    size_t rewrapped = 0, unchanged = 0;
    for (const Line &line : lines) {
        const std::string where =
            (opt.args.size() > 1 ? line.source + " " : std::string()) + "line " + std::to_string(line.number);
        const std::string text = trim_text(line.text);
        if (text.empty()) {
            out += "\n";
            continue;
        }
        const TextHeader h = read_text_header(text);
        if (h.wellFormed && h.domain == domain && h.keyId == *active) {
            out += text + "\n";
            ++unchanged;
            if (opt.report) report += where + ": key " + std::to_string(h.keyId) + " (active), unchanged\n";
            continue;
        }
        unsigned char *plain = nullptr;
        uint32_t plainLen = 0;
        const unsigned long rc =
            TELMOR_VAQ_Decrypt(domain, text.c_str(), static_cast<uint32_t>(text.size()), &plain, &plainLen);
        if (rc != 0) {
            if (plain != nullptr) HX_VAQ_MemFree(__LINE__, __FILE__, plain);
            std::fputs(report.c_str(), stderr);
            throw Failure{rc, where + " does not decrypt under domain " + std::to_string(domain) + ": " +
                                  why_not_decrypted(text, domain, rc) + "; nothing was written"};
        }
        char *fresh = nullptr;
        uint32_t freshLen = 0;
        const unsigned long erc = TELMOR_VAQ_Encrypt(domain, plain, plainLen, &fresh, &freshLen);
        explicit_bzero(plain, plainLen);
        HX_VAQ_MemFree(__LINE__, __FILE__, plain);
        if (erc != 0) {
            std::fputs(report.c_str(), stderr);
            throw failed(erc, where + ": encrypting again under domain " + std::to_string(domain), ctx);
        }
        const TextHeader now = read_text_header(fresh);
        out += std::string(fresh) + "\n";
        HX_VAQ_MemFree(__LINE__, __FILE__, fresh);
        ++rewrapped;
        if (opt.report) {
            report += where + ": key " + std::to_string(h.keyId) + ", rewrapped under key " +
                      std::to_string(now.keyId) + "\n";
        }
    }
    write_out(out);
    std::fflush(stdout);
    if (opt.report) {
        report += std::to_string(rewrapped) + " rewrapped, " + std::to_string(unchanged) + " already under key " +
                  std::to_string(*active) + "\n";
        std::fputs(report.c_str(), stderr);
    }
    return 0;
}

const CommandRegistrar kRewrap(
    {"rewrap",
     "Texts",
     13,
     "re-encrypt stored texts, one per line, under the domain's active key",
     "Reads texts one per line (from the FILEs, or stdin) and writes each, in order, re-encrypted under the\n"
     "domain's active key; a text already under the active key passes through unchanged, an empty line stays\n"
     "empty. A line that cannot be decrypted stops the run with its line number and exit status 1, and\n"
     "nothing is written. After a rotation this moves stored texts off the old key so it can be deleted.",
     {Opt::Role, Opt::Domain, Opt::Report},
     {{"FILE", "files of texts, one per line (default: stdin)", false, true}},
     {{"rewrap --domain 50 --report < texts.txt > texts.new", "move every stored text of domain 50 to its active key"}},
     cmd_rewrap});

}  // namespace

}  // namespace cli
