/* SPDX-License-Identifier: Apache-2.0 */
// The client's connection state and its one way of asking etcd: a POST on
// each endpoint in turn, under the user's token where there is a user.
#ifndef TELMOR_VAQ_FLEET_ETCD_SESSION_H
#define TELMOR_VAQ_FLEET_ETCD_SESSION_H

#include <curl/curl.h>
#include <openssl/crypto.h>

#include <memory>
#include <mutex>

#include "etcd_client.h"
#include "etcd_wire.h"

namespace fleet {

using wire::json;

inline void curl_init_once() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct CurlDeleter {
    void operator()(CURL *c) const { curl_easy_cleanup(c); }
};
struct SlistDeleter {
    void operator()(curl_slist *l) const { curl_slist_free_all(l); }
};
using CurlPtr = std::unique_ptr<CURL, CurlDeleter>;
using SlistPtr = std::unique_ptr<curl_slist, SlistDeleter>;

struct EtcdClient::Impl {
    EtcdConfig config;
    std::mutex mutex;
    std::string token;          // guarded by mutex
    std::size_t current = 0;    // the endpoint that last answered; guarded by mutex

    ~Impl() {
        OPENSSL_cleanse(config.password.data(), config.password.size());
        OPENSSL_cleanse(token.data(), token.size());
    }

    // A handle set up for one POST to endpoint + path: TLS as configured,
    // keep-alive probes so that a peer that went silent is noticed.
    CurlPtr handle(const std::string &endpoint, const char *path, const std::string &body, long timeout_ms,
                   curl_slist *headers, char *error_buffer) const {
        CurlPtr c(curl_easy_init());
        if (!c) return c;
        CURL *h = c.get();
        std::string url = endpoint + path;
        curl_easy_setopt(h, CURLOPT_URL, url.c_str());
        // Not copied: the caller's text lives through the transfer and is
        // wiped after it (an authentication's holds the password).
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.c_str());
        curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, 3000L);
        if (timeout_ms > 0) curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, timeout_ms);
        curl_easy_setopt(h, CURLOPT_TCP_KEEPALIVE, 1L);
        curl_easy_setopt(h, CURLOPT_TCP_KEEPIDLE, 5L);
        curl_easy_setopt(h, CURLOPT_TCP_KEEPINTVL, 2L);
        curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error_buffer);
        curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
        if (!config.ca_file.empty()) curl_easy_setopt(h, CURLOPT_CAINFO, config.ca_file.c_str());
        if (!config.cert_file.empty()) curl_easy_setopt(h, CURLOPT_SSLCERT, config.cert_file.c_str());
        if (!config.key_file.empty()) curl_easy_setopt(h, CURLOPT_SSLKEY, config.key_file.c_str());
        curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
        return c;
    }

    SlistPtr headers(bool with_token) {
        curl_slist *l = curl_slist_append(nullptr, "Content-Type: application/json");
        if (with_token) {
            std::lock_guard lock(mutex);
            if (!token.empty()) {
                std::string h = "Authorization: " + token;
                l = curl_slist_append(l, h.c_str());
                OPENSSL_cleanse(h.data(), h.size());
            }
        }
        return SlistPtr(l);
    }

    static std::size_t collect(char *data, std::size_t size, std::size_t n, void *user) {
        static_cast<std::string *>(user)->append(data, size * n);
        return size * n;
    }

    // Whether a failed transfer may have reached etcd: a connection or a TLS
    // handshake that failed sent nothing; anything later (a time-out after
    // the request went out, a connection dropped before the answer) may have.
    static bool maybe_sent(CURL *c, CURLcode rc) {
        switch (rc) {
        case CURLE_COULDNT_CONNECT:
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_CIPHER:
        case CURLE_UNSUPPORTED_PROTOCOL:
            return false;
        case CURLE_OPERATION_TIMEDOUT: {
            curl_off_t pretransfer = 0;
            curl_easy_getinfo(c, CURLINFO_PRETRANSFER_TIME_T, &pretransfer);
            return pretransfer > 0;
        }
        default:
            return true;
        }
    }

    // One POST on each endpoint in turn until one answers with JSON. A write
    // (not `repeatable`) goes to the next endpoint only when it cannot have
    // reached etcd; otherwise it is answered as undecided, since sending it
    // again could apply it twice or lose a race it had won.
    Outcome<json> post(const char *path, const json &body, bool with_token, bool repeatable) {
        std::string text = body.dump();
        auto out = post_text(path, text, with_token, repeatable);
        OPENSSL_cleanse(text.data(), text.size());   // an authentication's holds the password
        return out;
    }

    Outcome<json> post_text(const char *path, const std::string &text, bool with_token, bool repeatable) {
        SlistPtr hdrs = headers(with_token);
        std::size_t start;
        {
            std::lock_guard lock(mutex);
            start = current;
        }
        EtcdError last{EtcdError::Kind::Unreachable, 0, "no etcd endpoint configured"};
        const std::size_t n = config.endpoints.size();
        for (std::size_t i = 0; i < n; i++) {
            std::size_t at = (start + i) % n;
            char errbuf[CURL_ERROR_SIZE] = {0};
            std::string answer;
            CurlPtr c = handle(config.endpoints[at], path, text, config.request_timeout_ms, hdrs.get(), errbuf);
            if (!c) return Outcome<json>::bad({EtcdError::Kind::Failed, 0, "curl could not start a request"});
            curl_easy_setopt(c.get(), CURLOPT_WRITEFUNCTION, &Impl::collect);
            curl_easy_setopt(c.get(), CURLOPT_WRITEDATA, &answer);
            CURLcode rc = curl_easy_perform(c.get());
            if (rc != CURLE_OK) {
                const std::string why = config.endpoints[at] + ": " + (errbuf[0] ? errbuf : curl_easy_strerror(rc));
                if (!repeatable && maybe_sent(c.get(), rc))
                    return Outcome<json>::bad({EtcdError::Kind::Undecided, static_cast<int>(rc), why});
                last = {EtcdError::Kind::Unreachable, static_cast<int>(rc), why};
                continue;
            }
            {
                std::lock_guard lock(mutex);
                current = at;
            }
            json j = json::parse(answer, nullptr, false);
            if (j.is_discarded() || !j.is_object()) {
                long status = 0;
                curl_easy_getinfo(c.get(), CURLINFO_RESPONSE_CODE, &status);
                // Not JSON, so no token in it: its start helps whoever reads the error.
                return Outcome<json>::bad(wire::malformed("HTTP " + std::to_string(status) + " with something not JSON: " +
                                                          answer.substr(0, 120)));
            }
            OPENSSL_cleanse(answer.data(), answer.size());
            EtcdError err;
            if (wire::error_of(j, err)) return Outcome<json>::bad(err);
            return Outcome<json>::good(std::move(j));
        }
        return Outcome<json>::bad(last);
    }

    bool authenticate(EtcdError &err) {
        json body = {{"name", config.user}, {"password", config.password}};
        auto r = post("/v3/auth/authenticate", body, false, true);
        // The request's copy of the password goes with body.
        if (auto it = body.find("password"); it != body.end()) {
            auto &s = it->get_ref<std::string &>();
            OPENSSL_cleanse(s.data(), s.size());
        }
        if (!r.ok) {
            err = r.error;
            return false;
        }
        auto t = r.value.find("token");
        if (t == r.value.end() || !t->is_string()) {
            err = wire::malformed("no token to an authentication");
            return false;
        }
        std::lock_guard lock(mutex);
        token = t->get<std::string>();
        return true;
    }

    bool have_token() {
        std::lock_guard lock(mutex);
        return !token.empty();
    }

    // A call under the user's token: authenticates first, and once more when
    // etcd says the token is no longer good (it expires, or the member that
    // issued it is gone).
    Outcome<json> call(const char *path, const json &body, bool repeatable) {
        if (!config.user.empty() && !have_token()) {
            EtcdError err;
            if (!authenticate(err)) return Outcome<json>::bad(err);
        }
        auto r = post(path, body, true, repeatable);
        if (!r.ok && r.error.code == wire::kUnauthenticated && !config.user.empty()) {
            EtcdError err;
            if (!authenticate(err)) return Outcome<json>::bad(err);
            r = post(path, body, true, repeatable);
        }
        return r;
    }

    Outcome<RangeResult> range(const std::string &key, const std::string &end) {
        json body = {{"key", wire::b64(key)}};
        if (!end.empty()) body["range_end"] = wire::b64(end);
        auto r = call("/v3/kv/range", body, true);
        if (!r.ok) return Outcome<RangeResult>::bad(r.error);
        RangeResult out;
        if (!wire::header_revision(r.value, out.revision)) return Outcome<RangeResult>::bad(wire::malformed("no revision"));
        if (auto kvs = r.value.find("kvs"); kvs != r.value.end()) {
            if (!kvs->is_array()) return Outcome<RangeResult>::bad(wire::malformed("a range that is not a list"));
            for (const auto &j : *kvs) {
                KeyValue kv;
                if (!wire::read_kv(j, kv)) return Outcome<RangeResult>::bad(wire::malformed("a key it cannot read"));
                out.kvs.push_back(std::move(kv));
            }
        }
        return Outcome<RangeResult>::good(std::move(out));
    }

    WatchEnd watch(const std::string &key, const std::string &range_end, std::int64_t from, const WatchCallback &cb,
                   const WatchOptions &opt);
};

}  // namespace fleet

#endif
