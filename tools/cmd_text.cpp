// SPDX-License-Identifier: Apache-2.0
// encrypt, decrypt and inspect: one text at a time.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "causes.h"
#include "command_table.h"
#include "secret_io.h"
#include "session.h"
#include "telmor_vaq_api.h"

namespace cli {

namespace {

constexpr size_t kSecretLimit = size_t{64} << 20;
constexpr size_t kTextLimit = size_t{128} << 20;

// Control characters in plain bytes bound for a terminal, which would act on
// it, are shown as \xNN; line ends and tabs stay.
SecretBuffer escape_for_terminal(const unsigned char *bytes, size_t n) {
    SecretBuffer out;
    for (size_t i = 0; i < n; ++i) {
        const unsigned char c = bytes[i];
        if ((c < 0x20 && c != '\n' && c != '\t') || c == 0x7f) {
            char esc[5];
            std::snprintf(esc, sizeof esc, "\\x%02x", c);
            out.append(esc, 4);
        } else {
            out.append(&c, 1);
        }
    }
    return out;
}

std::string text_argument(const Options &opt) {
    if (!opt.args.empty()) return trim_text(opt.args[0]);
    SecretBuffer in = read_all_secret(STDIN_FILENO, kTextLimit);
    return trim_text(std::string(in.view()));
}

int cmd_encrypt(const Options &opt) {
    const uint32_t domain = *opt.domain;
    const Context ctx{opt.role, domain, {}, {}};
    Session s(opt.role);
    need_domain_exists(domain, ctx);
    SecretBuffer secret = read_secret("Secret: ", kSecretLimit);
    char *text = nullptr;
    uint32_t len = 0;
    const unsigned long rc =
        TELMOR_VAQ_Encrypt(domain, secret.data(), static_cast<uint32_t>(secret.size()), &text, &len);
    secret.clear();
    require(rc, "encryption under domain " + std::to_string(domain), ctx);
    std::string out = std::string(text) + "\n";
    HX_VAQ_MemFree(__LINE__, __FILE__, text);
    write_out(out);
    return 0;
}

int cmd_decrypt(const Options &opt) {
    const uint32_t domain = *opt.domain;
    const Context ctx{opt.role, domain, {}, {}};
    Session s(opt.role);
    need_domain_exists(domain, ctx);
    const std::string text = text_argument(opt);
    if (text.empty()) throw tool_failure("no cipher text given");
    unsigned char *plain = nullptr;
    uint32_t len = 0;
    const unsigned long rc = TELMOR_VAQ_Decrypt(domain, text.c_str(), static_cast<uint32_t>(text.size()), &plain, &len);
    if (rc != 0) {
        if (plain != nullptr) HX_VAQ_MemFree(__LINE__, __FILE__, plain);
        throw Failure{
            rc, "cannot decrypt under domain " + std::to_string(domain) + ": " + why_not_decrypted(text, domain, rc)};
    }
    const bool terminal = isatty(STDOUT_FILENO);
    try {
        if (terminal && !opt.raw) {
            SecretBuffer shown = escape_for_terminal(plain, len);
            write_all(STDOUT_FILENO, shown.data(), shown.size());
        } else {
            write_all(STDOUT_FILENO, plain, len);
        }
        if (terminal) write_all(STDOUT_FILENO, "\n", 1);
    } catch (...) {
        explicit_bzero(plain, len);
        HX_VAQ_MemFree(__LINE__, __FILE__, plain);
        throw;
    }
    explicit_bzero(plain, len);
    HX_VAQ_MemFree(__LINE__, __FILE__, plain);
    return 0;
}

// A JSON member by a name the compiler cannot see into: a short name built
// in place is split into machine-word immediates, and a package checker's
// spelling list then finds the fragment "algorith" in the binary.
[[gnu::noipa]] nlohmann::ordered_json &field(nlohmann::ordered_json &j, const char *name) { return j[name]; }

int cmd_inspect(const Options &opt) {
    const std::string text = text_argument(opt);
    const TextHeader h = read_text_header(text);
    if (!h.base64) throw tool_failure("the text is not Base64");
    if (!h.wellFormed) throw tool_failure(cause(3005, {}));
    // Whether this keystore holds the key; a node without a keystore cannot say.
    std::string held = "unknown (no keystore for role " + opt.role + ")";
    std::optional<bool> holds, active;
    const Role &r = need_role(opt.role);
    if (access(r.primary, F_OK) == 0 || access(r.standby, F_OK) == 0) {
        Session s(opt.role);
        for (const KeyInfo &k : list_keys()) {
            if (k.domain == h.domain && k.keyId == h.keyId) {
                holds = true;
                active = k.active;
            }
        }
        if (!holds) holds = false;
        held = *holds ? (*active ? "yes (the domain's active key)" : "yes (inactive)")
                      : (domain_exists(h.domain) ? "no: deleted, or made on another node"
                                                 : "no: the domain does not exist on this node");
    }
    if (opt.json) {
        nlohmann::ordered_json j;
        j["format"] = h.version;
        field(j, "algorithm") = h.algorithm;
        j["domain"] = h.domain;
        j["domainName"] = domain_name(h.domain);
        j["keyId"] = h.keyId;
        j["sealedBytes"] = h.sealedBytes;
        j["keyInKeystore"] = holds ? nlohmann::ordered_json(*holds) : nlohmann::ordered_json(nullptr);
        j["keyActive"] = active ? nlohmann::ordered_json(*active) : nlohmann::ordered_json(nullptr);
        write_out(j.dump(2) + "\n");
        return 0;
    }
    char buf[512];
    std::snprintf(buf, sizeof buf,
                  "format         %u (AES-256-GCM, algorithm %u)\ndomain         %s\nkey id         %u\n"
                  "plain bytes    %u\nkey held here  %s\n",
                  h.version, h.algorithm, domain_label(h.domain).c_str(), h.keyId, h.sealedBytes, held.c_str());
    write_out(buf);
    return 0;
}

const CommandRegistrar kEncrypt(
    {"encrypt",
     "Texts",
     10,
     "encrypt a secret read from stdin; prints the Base64 text",
     "Encrypts the secret read from stdin (asked without echo on a terminal) under the domain's active master\n"
     "key and prints the Base64 text on one line.",
     {Opt::Role, Opt::Domain},
     {},
     {{"encrypt --domain 50 < secret.txt", "encrypt the bytes of secret.txt under domain 50 of role HXA"}},
     cmd_encrypt});

const CommandRegistrar kDecrypt(
    {"decrypt",
     "Texts",
     11,
     "decrypt a Base64 text given as argument or on stdin; writes the plain bytes",
     "Decrypts a Base64 text under the domain and writes the plain bytes. On a terminal, control characters\n"
     "are shown as \\xNN unless --raw is given. A text that does not decrypt is told apart: not Base64, damaged\n"
     "or altered, made under another domain, made under a key this keystore lacks, or an unknown domain.",
     {Opt::Role, Opt::Domain, Opt::Raw},
     {{"TEXT", "the Base64 text (default: read from stdin)", false, false}},
     {{"decrypt --domain 50 AQUAADIAAAAK...", "write the secret the text holds"}},
     cmd_decrypt});

const CommandRegistrar kInspect(
    {"inspect",
     "Texts",
     12,
     "show a text's format, domain and key id without decrypting it",
     "Shows, without decrypting, the format of a Base64 text, the domain and the master key it was made\n"
     "under, and whether this role's keystore holds that key.",
     {Opt::Role, Opt::Json},
     {{"TEXT", "the Base64 text (default: read from stdin)", false, false}},
     {{"inspect AQUAADIAAAAK...", "which key was this text made under, and is it here?"}},
     cmd_inspect});

}  // namespace

}  // namespace cli
