// One initialisation of the library for the life of a command, and the
// inventory queries the commands share.
#ifndef TELMOR_VAQ_TOOL_SESSION_H
#define TELMOR_VAQ_TOOL_SESSION_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "causes.h"
#include "cli.h"

namespace cli {

// Why the last Session could not open the keystore.
enum class OpenCause { None, NoKeystore, Damaged, NewerFormat, Unsafe, Access, Other };
OpenCause last_open_cause();

class Session {
public:
    // Opens the role's keystore; a failure names its cause from the files.
    explicit Session(const std::string &role);
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;
};

struct Time {
    unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    bool set = false;
};
std::string table_time(const Time &t);  // "2026-12-10 05:02:45", or "-"
std::string iso_time(const Time &t);    // "2026-12-10T05:02:45Z", or "" when unset

struct KeyInfo {
    uint32_t domain = 0;
    uint32_t keyId = 0;
    bool active = false;
    bool registered = false;  // registered or imported, not generated here
    uint32_t length = 0;
    Time created, expires;
};

struct DomainInfo {
    uint32_t id = 0;
    unsigned attr = 0;
};

// Every master key, sorted by domain and key id.
std::vector<KeyInfo> list_keys();
// Every provisioned domain, sorted by id.
std::vector<DomainInfo> list_domains();
bool domain_exists(uint32_t domain);
// Throws a failure naming the domain unless it is provisioned.
void need_domain_exists(uint32_t domain, const Context &ctx);
// The key ids this keystore holds in `domain` (empty for an unknown domain).
std::vector<uint32_t> key_ids(uint32_t domain);
// The domain's active key, if it has one.
std::optional<uint32_t> active_key(uint32_t domain);

// The header of a cipher text, read without decrypting.
struct TextHeader {
    bool base64 = false;      // the text decodes as Base64
    bool wellFormed = false;  // our format, long enough for what it declares
    unsigned version = 0, algorithm = 0;
    uint32_t domain = 0, keyId = 0, sealedBytes = 0;
};
TextHeader read_text_header(const std::string &text);

// Why a text does not decrypt under `domain` in this keystore, from its header
// and the key queries: not Base64, not our format, another domain, an unknown
// domain, a key this keystore lacks; else damaged or altered.
std::string why_not_decrypted(const std::string &text, uint32_t domain, unsigned long rc);

// The node's keystore version, read without initialising the library.
std::optional<uint32_t> node_version();

// Removes the line end and spaces around a text.
std::string trim_text(std::string text);

}  // namespace cli

#endif
