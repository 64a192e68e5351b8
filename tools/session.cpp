#include "session.h"

#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "file_safety.h"
#include "telmor_vaq_api.h"

namespace cli {

namespace {

// The keystore format version of a copy, 0 when it is not a keystore image.
unsigned keystore_format(const char *path) {
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return 0;
    unsigned char head[10] = {};
    const ssize_t n = read(fd, head, sizeof head);
    close(fd);
    if (n != static_cast<ssize_t>(sizeof head) || std::memcmp(head, "HXBVAQKS", 8) != 0) return 0;
    return head[8] | head[9] << 8;
}

OpenCause g_open_cause = OpenCause::None;

constexpr key_t kVersionSegmentKey = 0x20190529;
constexpr key_t kLockKey = 0x20191230;

union semun_arg {
    int val;
    semid_ds *buf;
    unsigned short *array;
};

std::string hex_key(key_t key) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08x", static_cast<unsigned>(key));
    return buf;
}

// Why this user cannot use the node's shared objects, or "".
std::string ipc_problem() {
    const uid_t me = geteuid();
    auto judge = [me](const char *what, key_t key, uid_t owner, unsigned mode) -> std::string {
        if (owner == me || me == 0) return "";
        if (owner != 0) {
            return std::string("the node's ") + what + " (key " + hex_key(key) + ") belongs to user " +
                   user_name(owner) + ", not to this user or root: remove it with 'ipcrm' as root when no process runs";
        }
        if ((mode & 0006) != 0006) {
            return std::string("the node's ") + what + " (key " + hex_key(key) + ") belongs to root (mode " +
                   octal(mode & 0777) + "): run the tool as root or as the user the node's processes run as";
        }
        return "";
    };
    auto denied = [](const char *what, key_t key) {
        return std::string("no permission to use the node's ") + what + " (key " + hex_key(key) +
               "): run the tool as root or as the user the node's processes run as";
    };
    if (const int id = shmget(kVersionSegmentKey, 0, 0); id >= 0) {
        shmid_ds ds {};
        if (shmctl(id, IPC_STAT, &ds) == 0) {
            if (std::string p = judge("keystore version segment", kVersionSegmentKey, ds.shm_perm.uid, ds.shm_perm.mode);
                !p.empty()) {
                return p;
            }
        } else if (errno == EACCES) {
            return denied("keystore version segment", kVersionSegmentKey);
        }
    } else if (errno == EACCES) {
        return denied("keystore version segment", kVersionSegmentKey);
    }
    if (const int id = semget(kLockKey, 0, 0); id >= 0) {
        semid_ds ds {};
        semun_arg arg;
        arg.buf = &ds;
        if (semctl(id, 0, IPC_STAT, arg) == 0) {
            if (std::string p = judge("process lock", kLockKey, ds.sem_perm.uid, ds.sem_perm.mode); !p.empty()) return p;
        } else if (errno == EACCES) {
            return denied("process lock", kLockKey);
        }
    } else if (errno == EACCES) {
        return denied("process lock", kLockKey);
    }
    return "";
}

// The cause of a failed initialisation, read from the node's shared objects
// and the keystore files.
Failure open_failure(unsigned long rc, const Role &r) {
    const std::string role = r.name;
    Context ctx{role, {}, {}, {}};
    g_open_cause = OpenCause::Other;
    if (rc != 1) return failed(rc, "cannot open the keystore of role " + role, ctx);
    if (const std::string ipc = ipc_problem(); !ipc.empty()) {
        g_open_cause = OpenCause::Access;
        return Failure{rc, "cannot open the keystore of role " + role + ": " + ipc};
    }
    std::string unsafe;
    bool bothData = true;
    for (const char *path : {r.primary, r.standby}) {
        const FileFacts f = file_facts(path);
        const std::string why = unsafe_copy_reason(f);
        if (!why.empty()) unsafe += (unsafe.empty() ? "" : "; ") + std::string(path) + " is " + why;
        if (!f.exists || f.size == 0) bothData = false;
        if (why.empty() && keystore_format(path) > 1) {
            g_open_cause = OpenCause::NewerFormat;
            return Failure{rc, "cannot open the keystore of role " + role + ": " + cause(2009, ctx)};
        }
    }
    if (!unsafe.empty()) {
        g_open_cause = OpenCause::Unsafe;
        return Failure{rc, "cannot open the keystore of role " + role + ": no keystore copy is safe to use (" +
                               unsafe + "); the files are left as they are: see 'telmor-vaq status --role " +
                               role + "'"};
    }
    for (const char *path : {r.primary, r.standby}) {
        const std::string io = explain_io(path, false);
        if (!io.empty() && file_facts(path).exists) {
            g_open_cause = OpenCause::Access;
            return Failure{rc, "cannot open the keystore of role " + role + ": " + io};
        }
    }
    g_open_cause = OpenCause::Damaged;
    if (bothData) return Failure{rc, "cannot open the keystore of role " + role + ": " + cause(2008, ctx)};
    return Failure{rc, "cannot open the keystore of role " + role + ": the only copy does not verify (damaged "
                       "or altered) and is left as it is: restore it from a backup (see docs/operations.md), "
                       "the role's log in " + std::string(r.logDir) + " names the code"};
}

Time to_time(const HX_VAQ_DATE_TIME *t) {
    if (t == nullptr) return {};
    return {t->year, t->month, t->day, t->hour, t->minute, t->second, true};
}

int base64_value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Strict Base64 (padding optional); false on any other character.
bool decode_base64(const std::string &text, std::vector<unsigned char> &out) {
    std::string t = text;
    while (!t.empty() && t.back() == '=') t.pop_back();
    if (text.size() - t.size() > 2 || t.size() % 4 == 1) return false;
    uint32_t acc = 0;
    int bits = 0;
    for (char c : t) {
        const int v = base64_value(c);
        if (v < 0) return false;
        acc = (acc << 6) | static_cast<uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<unsigned char>(acc >> bits));
        }
    }
    return true;
}

uint32_t le32(const unsigned char *p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

constexpr size_t kHeaderBytes = 28, kTagBytes = 16;

}  // namespace

OpenCause last_open_cause() { return g_open_cause; }

Session::Session(const std::string &role) {
    const Role &r = need_role(role);
    g_open_cause = OpenCause::None;
    const unsigned long rc = TELMOR_VAQ_Initialize(role.c_str());
    if (rc == 0) return;
    g_open_cause = OpenCause::NoKeystore;
    if (rc == 11) throw failed(rc, "cannot open the keystore of role " + role, Context{role, {}, {}, {}});
    throw open_failure(rc, r);
}

Session::~Session() { TELMOR_VAQ_Finalize(); }

std::string table_time(const Time &t) {
    if (!t.set) return "-";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u", t.year, t.month, t.day, t.hour, t.minute,
                  t.second);
    return buf;
}

std::string iso_time(const Time &t) {
    if (!t.set) return "";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04u-%02u-%02uT%02u:%02u:%02uZ", t.year, t.month, t.day, t.hour, t.minute,
                  t.second);
    return buf;
}

std::vector<KeyInfo> list_keys() {
    std::vector<KeyInfo> keys;
    int32_t count = 0;
    require(TELMOR_VAQ_GetMkNum(&count), "counting master keys", {});
    if (count <= 0) return keys;
    HX_VAQ_MK_LIST *list = nullptr;
    require(TELMOR_VAQ_Query_Mk_Info(&list), "listing master keys", {});
    for (int32_t i = 0; list != nullptr && i < list->count; ++i) {
        const HX_VAQ_MK *mk = list->items[i];
        if (mk == nullptr) continue;
        keys.push_back({mk->domainId, mk->keyId, mk->mkAttrA == 1, mk->mkAttrB == 1, mk->mkAttr16,
                        to_time(mk->mkTimeA), to_time(mk->mkTimeB)});
    }
    if (list != nullptr) {
        HX_VAQ_MK_FREE_ARRAY(list->items, list->count);
        HX_VAQ_MemFree(__LINE__, __FILE__, list);
    }
    std::sort(keys.begin(), keys.end(), [](const KeyInfo &a, const KeyInfo &b) {
        return a.domain != b.domain ? a.domain < b.domain : a.keyId < b.keyId;
    });
    return keys;
}

std::vector<DomainInfo> list_domains() {
    std::vector<DomainInfo> out;
    HX_VAQ_DOMAIN_LIST *list = nullptr;
    require(TELMOR_VAQ_Query_Domain_Info(&list), "listing domains", {});
    for (int32_t i = 0; list != nullptr && i < list->count; ++i) {
        if (list->items[i] != nullptr) out.push_back({list->items[i]->domainId, list->items[i]->domainAttr});
    }
    if (list != nullptr) {
        HX_VAQ_DOMAIN_FREE_ARRAY(list->items, list->count);
        HX_VAQ_MemFree(__LINE__, __FILE__, list);
    }
    std::sort(out.begin(), out.end(), [](const DomainInfo &a, const DomainInfo &b) { return a.id < b.id; });
    return out;
}

bool domain_exists(uint32_t domain) {
    for (const DomainInfo &d : list_domains()) {
        if (d.id == domain) return true;
    }
    return false;
}

void need_domain_exists(uint32_t domain, const Context &ctx) {
    if (domain_exists(domain)) return;
    Context c = ctx;
    c.domain = domain;
    throw tool_failure(cause(2010, c));
}

std::vector<uint32_t> key_ids(uint32_t domain) {
    std::vector<uint32_t> ids;
    for (const KeyInfo &k : list_keys()) {
        if (k.domain == domain) ids.push_back(k.keyId);
    }
    return ids;
}

std::optional<uint32_t> active_key(uint32_t domain) {
    for (const KeyInfo &k : list_keys()) {
        if (k.domain == domain && k.active) return k.keyId;
    }
    return std::nullopt;
}

TextHeader read_text_header(const std::string &text) {
    TextHeader h;
    std::vector<unsigned char> bytes;
    if (text.empty() || !decode_base64(text, bytes)) return h;
    h.base64 = true;
    if (bytes.size() < kHeaderBytes + kTagBytes) return h;
    h.version = bytes[0];
    h.algorithm = bytes[1];
    h.domain = le32(&bytes[4]);
    h.keyId = le32(&bytes[8]);
    h.sealedBytes = le32(&bytes[24]);
    h.wellFormed = h.version == 1 && h.algorithm == 5 &&
                   uint64_t{h.sealedBytes} + kHeaderBytes + kTagBytes <= bytes.size();
    return h;
}

std::string why_not_decrypted(const std::string &text, uint32_t domain, unsigned long rc) {
    const TextHeader h = read_text_header(text);
    if (!h.base64) return "the text is not Base64";
    if (!h.wellFormed) return cause(3005, {});
    if (h.domain != domain) {
        if (!domain_exists(h.domain)) {
            return "the text was made under domain " + std::to_string(h.domain) +
                   ", which does not exist on this node";
        }
        return "the text was made under domain " + std::to_string(h.domain) + ", not " + std::to_string(domain) +
               ": decrypt it with --domain " + std::to_string(h.domain);
    }
    const std::vector<uint32_t> ids = key_ids(domain);
    if (rc == 268 || std::find(ids.begin(), ids.end(), h.keyId) == ids.end()) {
        return "the text was made under key " + std::to_string(h.keyId) + " of domain " + std::to_string(domain) +
               ", which this keystore does not hold (deleted, or made on another node: import it from that "
               "node's export)";
    }
    return cause(3007, {});
}

std::optional<uint32_t> node_version() {
    const int id = shmget(kVersionSegmentKey, 0, 0);
    if (id < 0) return std::nullopt;
    void *addr = shmat(id, nullptr, SHM_RDONLY);
    if (addr == reinterpret_cast<void *>(-1)) return std::nullopt;
    const uint32_t v = __atomic_load_n(static_cast<uint32_t *>(addr), __ATOMIC_SEQ_CST);
    shmdt(addr);
    return v;
}

std::string trim_text(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '\t')) {
        text.pop_back();
    }
    size_t start = text.find_first_not_of(" \t");
    return start == std::string::npos ? "" : text.substr(start);
}

}  // namespace cli
