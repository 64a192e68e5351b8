// SPDX-License-Identifier: Apache-2.0
// PKCS#11 URIs (RFC 7512), the subset a token key is named by. The URI is
// read back from keystore and export files that others may have written, so
// everything not understood is refused rather than skipped: an attribute
// skipped could be one that was meant to narrow which key is used.
#include <cctype>
#include <cstring>
#include <utility>

#include "protector.h"
#include "token_key.h"

namespace vaq {

namespace {

// Longest URI taken: far beyond any real one, short of anything that could
// make a keystore's sealed root unreasonably large.
constexpr size_t kMaxUriBytes = 2048;

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool percent_decode(const std::string &in, std::string &out, bool binary) {
    out.clear();
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '%') {
            out += in[i];
            continue;
        }
        if (i + 2 >= in.size()) return false;
        const int hi = hex_value(in[i + 1]), lo = hex_value(in[i + 2]);
        if (hi < 0 || lo < 0) return false;
        const char c = static_cast<char>(hi << 4 | lo);
        // A label or path with a NUL in it would be cut short where it is
        // used as a C string: what was checked would not be what is used.
        if (c == '\0' && !binary) return false;
        out += c;
        i += 2;
    }
    return true;
}

// Characters written as they are; everything else is percent-encoded. A
// path value keeps fewer than a query value ('/' ends a path segment).
bool plain(unsigned char c, bool query) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || c == ':') return true;
    return query && c == '/';
}

void percent_encode(const std::string &in, bool query, bool all, std::string &out) {
    static const char kHex[] = "0123456789ABCDEF";
    for (unsigned char c : in) {
        if (!all && plain(c, query)) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
}

Status bad(const char *why, const std::string &what) {
    return Fail(VAQ_ERR_BAD_ARG,
                reason("pkcs11: the key's URI is refused: %s%s%.80s", why, what.empty() ? "" : ": ", what.c_str()));
}

// The attributes taken, where they go, and whether they belong to the path
// (before '?') or the query.
struct Attribute {
    const char *name;
    bool query;
    std::string TokenUri::*field;
};
const Attribute kAttributes[] = {
    {"token", false, &TokenUri::token},
    {"object", false, &TokenUri::object},
    {"id", false, &TokenUri::id},
    {"type", false, nullptr},
    {"module-path", true, &TokenUri::modulePath},
    {"module-name", true, &TokenUri::moduleName},
    {"pin-source", true, &TokenUri::pinSource},
    {"manufacturer", false, &TokenUri::manufacturer},
    {"model", false, &TokenUri::model},
    {"serial", false, &TokenUri::serial},
    {"slot-id", false, &TokenUri::slotId},
};

// Splits `part` at `sep` into name=value pairs and stores them in `out`.
Status take(const std::string &part, char sep, bool query, TokenUri &out, unsigned &seen) {
    size_t at = 0;
    while (at <= part.size()) {
        size_t end = part.find(sep, at);
        if (end == std::string::npos) end = part.size();
        const std::string item = part.substr(at, end - at);
        at = end + 1;
        if (item.empty()) {
            if (end == part.size()) break;
            return bad("an empty attribute", "");
        }
        const size_t eq = item.find('=');
        if (eq == std::string::npos) return bad("an attribute without a value", item);
        const std::string name = item.substr(0, eq);
        if (name == "pin-value")
            return bad("a PIN is never taken in the URI (use pin-source=file:PATH in the trusted secret directory)",
                       "");
        unsigned index = 0;
        while (index < std::size(kAttributes) && (name != kAttributes[index].name || kAttributes[index].query != query))
            ++index;
        if (index == std::size(kAttributes)) return bad("an attribute this system does not take", name);
        if (seen & (1u << index)) return bad("an attribute given twice", name);
        seen |= 1u << index;
        const Attribute &a = kAttributes[index];
        std::string value;
        if (!percent_decode(item.substr(eq + 1), value, a.field == &TokenUri::id))
            return bad("a value that is not well percent-encoded", name);
        if (value.empty() && index >= 7) return bad("an attribute with an empty value", name);
        if (a.field == nullptr) {
            if (value != "secret-key") return bad("the key must be of type secret-key", value);
        } else {
            out.*a.field = std::move(value);
        }
    }
    return Ok();
}

// The pin-source's path: "file:" and an absolute path ("file://" and one is
// the same).
Status pin_path(std::string &source) {
    if (source.rfind("file:", 0) != 0) return bad("pin-source must be file:PATH", source);
    std::string path = source.substr(5);
    if (path.rfind("//", 0) == 0 && path.size() > 2 && path[2] == '/') path.erase(0, 2);
    if (path.empty() || path[0] != '/') return bad("pin-source must name an absolute path", source);
    source = std::move(path);
    return Ok();
}

}  // namespace

const char kExportPinRule[] =
    "its pin-source is not a PIN file NAME.pin (an export's PIN is read only from one, never from a node secret "
    "or another file of the secret directory)";

bool pin_source_is_a_pin(const TokenUri &uri) {
    const std::string &p = uri.pinSource;
    return p.empty() || (p.size() > 4 && p.compare(p.size() - 4, 4, ".pin") == 0);
}

void render_token_uri(TokenUri &uri) {
    std::string &t = uri.text;
    t = "pkcs11:token=";
    percent_encode(uri.token, false, false, t);
    const std::pair<const char *, const std::string *> narrowing[] = {{";manufacturer=", &uri.manufacturer},
                                                                      {";model=", &uri.model},
                                                                      {";serial=", &uri.serial},
                                                                      {";slot-id=", &uri.slotId}};
    for (const auto &[name, value] : narrowing)
        if (!value->empty()) {
            t += name;
            percent_encode(*value, false, false, t);
        }
    t += ";object=";
    percent_encode(uri.object, false, false, t);
    if (!uri.id.empty()) {
        t += ";id=";
        percent_encode(uri.id, false, true, t);
    }
    if (uri.secretKeyType) t += ";type=secret-key";
    t += '?';
    if (!uri.modulePath.empty()) {
        t += "module-path=";
        percent_encode(uri.modulePath, true, false, t);
    } else {
        t += "module-name=";
        percent_encode(uri.moduleName, true, false, t);
    }
    if (!uri.pinSource.empty()) {
        t += "&pin-source=file:";
        percent_encode(uri.pinSource, true, false, t);
    }
}

Status parse_token_uri(const std::string &uri, TokenUri &out) {
    out = TokenUri{};
    if (uri.size() > kMaxUriBytes) return bad("longer than 2048 bytes", "");
    if (uri.size() < 7 || strncasecmp(uri.c_str(), "pkcs11:", 7) != 0) return bad("not a pkcs11: URI", uri);
    const std::string rest = uri.substr(7);
    const size_t q = rest.find('?');
    unsigned seen = 0;
    Status s = take(rest.substr(0, q), ';', false, out, seen);
    if (s.ok() && q != std::string::npos) s = take(rest.substr(q + 1), '&', true, out, seen);
    if (!s.ok()) {
        out = TokenUri{};
        return s;
    }
    if (out.token.empty()) return bad("no token= (the token's label)", "");
    if (out.object.empty()) return bad("no object= (the key's label)", "");
    // A slot id is a number; the module is asked for that slot only by
    // comparing, so anything else could never match.
    if (!out.slotId.empty() &&
        (out.slotId.size() > 19 || out.slotId.find_first_not_of("0123456789") != std::string::npos))
        return bad("slot-id must be a decimal number", out.slotId);
    if (out.modulePath.empty() == out.moduleName.empty())
        return bad("exactly one of module-path= and module-name= is needed", "");
    if (!out.modulePath.empty() && out.modulePath[0] != '/') return bad("module-path must be absolute", out.modulePath);
    if (!out.moduleName.empty() && (out.moduleName.find('/') != std::string::npos || out.moduleName[0] == '.'))
        return bad("module-name is a name from the p11-kit configuration, not a path", out.moduleName);
    if (!out.pinSource.empty()) {
        s = pin_path(out.pinSource);
        if (!s.ok()) return s;
    }

    out.secretKeyType = (seen & (1u << 3)) != 0;
    render_token_uri(out);
    return Ok();
}

}  // namespace vaq
