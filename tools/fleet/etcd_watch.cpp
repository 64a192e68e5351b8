/* SPDX-License-Identifier: Apache-2.0 */
// The etcd seam's watch: one streaming POST to /v3/watch whose answer is a
// line of JSON per message. A stream that breaks goes on from the revision
// after the last one delivered, on the next endpoint, so that the caller sees
// every event once and in order; when that revision has been compacted away
// the watch ends and says so, and the caller reads the current state again.
#include <string_view>

#include "etcd_client.h"
#include "etcd_session.h"

namespace fleet {
namespace {

using namespace wire;

// One stream's reading state, shared with curl's callbacks.
struct Stream {
    const WatchCallback *on_events = nullptr;
    const WatchOptions *options = nullptr;
    std::string pending;          // bytes of a line not yet complete
    std::int64_t next = 0;        // the revision the watch goes on from
    bool created = false;
    bool stop = false;            // the caller asked, one way or the other
    bool ended = false;           // etcd ended it (end says how)
    WatchEnd end;

    void finish(WatchEnd::Why why, EtcdError err = {}) {
        ended = true;
        end.why = why;
        end.error = std::move(err);
    }

    void message(std::string_view line) {
        json j = json::parse(line, nullptr, false);
        if (j.is_discarded() || !j.is_object()) {
            finish(WatchEnd::Why::Lost, malformed("a watch message that is not JSON"));
            return;
        }
        EtcdError err;
        if (error_of(j, err)) {
            finish(err.kind == EtcdError::Kind::Refused ? WatchEnd::Why::Cancelled : WatchEnd::Why::Lost, err);
            return;
        }
        auto r = j.find("result");
        if (r == j.end() || !r->is_object()) {
            finish(WatchEnd::Why::Lost, malformed("a watch message without a result"));
            return;
        }
        std::int64_t rev = 0;
        header_revision(*r, rev);
        if (auto c = r->find("canceled"); c != r->end() && c->is_boolean() && c->get<bool>()) {
            std::int64_t compact = 0;
            int_field(*r, "compact_revision", compact);
            if (compact > 0) {
                end.compact_revision = compact;
                finish(WatchEnd::Why::Compacted);
                return;
            }
            std::string reason = "etcd cancelled the watch";
            if (auto cr = r->find("cancel_reason"); cr != r->end() && cr->is_string() && !cr->get<std::string>().empty())
                reason = cr->get<std::string>();
            finish(WatchEnd::Why::Cancelled, {EtcdError::Kind::Refused, 0, reason});
            return;
        }
        if (auto c = r->find("created"); c != r->end() && c->is_boolean() && c->get<bool>()) {
            created = true;
            if (next == 0) next = rev + 1;   // "from now": now is the revision it was created at
        }
        auto evs = r->find("events");
        if (evs == r->end()) return;
        if (!evs->is_array()) {
            finish(WatchEnd::Why::Lost, malformed("watch events that are not a list"));
            return;
        }
        std::vector<WatchEvent> events;
        for (const auto &e : *evs) {
            WatchEvent ev;
            auto kv = e.find("kv");
            if (kv == e.end() || !read_kv(*kv, ev.kv)) {
                finish(WatchEnd::Why::Lost, malformed("a watch event it cannot read"));
                return;
            }
            if (auto t = e.find("type"); t != e.end() && t->is_string() && t->get<std::string>() == "DELETE")
                ev.type = WatchEvent::Type::Delete;
            if (ev.kv.mod_revision >= next) next = ev.kv.mod_revision + 1;
            events.push_back(std::move(ev));
        }
        if (!events.empty() && !(*on_events)(events, rev)) stop = true;
    }

    static std::size_t on_data(char *data, std::size_t size, std::size_t n, void *user) {
        auto *s = static_cast<Stream *>(user);
        s->pending.append(data, size * n);
        std::size_t from = 0;
        for (std::size_t nl; !s->ended && !s->stop && (nl = s->pending.find('\n', from)) != std::string::npos;
             from = nl + 1) {
            std::string_view line(s->pending.data() + from, nl - from);
            if (line.find_first_not_of(" \r\t") != std::string_view::npos) s->message(line);
        }
        s->pending.erase(0, from);
        return (s->ended || s->stop) ? 0 : size * n;   // 0 ends the transfer
    }

    static int on_progress(void *user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
        auto *s = static_cast<Stream *>(user);
        if (s->options->stop != nullptr && s->options->stop->load()) s->stop = true;
        return s->stop ? 1 : 0;
    }
};

}  // namespace

WatchEnd EtcdClient::Impl::watch(const std::string &key, const std::string &range_end, std::int64_t from,
                                 const WatchCallback &on_events,
                                 const WatchOptions &options) {
    WatchEnd out;
    const std::size_t n = config.endpoints.size();
    if (n == 0) {
        out.why = WatchEnd::Why::Lost;
        out.error = {EtcdError::Kind::Unreachable, 0, "no etcd endpoint configured"};
        return out;
    }
    if (!config.user.empty() && !have_token()) {
        EtcdError err;
        if (!authenticate(err)) {
            out.why = err.kind == EtcdError::Kind::Refused ? WatchEnd::Why::Cancelled : WatchEnd::Why::Lost;
            out.error = err;
            return out;
        }
    }
    std::size_t at;
    {
        std::lock_guard lock(mutex);
        at = current;
    }
    std::int64_t next = from;
    std::size_t failures = 0;   // endpoints tried since a stream last worked
    bool reauthenticated = false;
    for (;;) {
        Stream s;
        s.on_events = &on_events;
        s.options = &options;
        s.next = next;
        json create = {{"key", b64(key)}, {"range_end", b64(range_end)}};
        if (next > 0) create["start_revision"] = std::to_string(next);
        SlistPtr hdrs = headers(true);
        char errbuf[CURL_ERROR_SIZE] = {0};
        const std::string request = json{{"create_request", create}}.dump();   // lives through the transfer
        CurlPtr c = handle(config.endpoints[at], "/v3/watch", request, 0, hdrs.get(), errbuf);
        if (!c) {
            out.why = WatchEnd::Why::Lost;
            out.error = {EtcdError::Kind::Failed, 0, "curl could not start a request"};
            return out;
        }
        curl_easy_setopt(c.get(), CURLOPT_WRITEFUNCTION, &Stream::on_data);
        curl_easy_setopt(c.get(), CURLOPT_WRITEDATA, &s);
        curl_easy_setopt(c.get(), CURLOPT_XFERINFOFUNCTION, &Stream::on_progress);
        curl_easy_setopt(c.get(), CURLOPT_XFERINFODATA, &s);
        curl_easy_setopt(c.get(), CURLOPT_NOPROGRESS, 0L);
        CURLcode rc = curl_easy_perform(c.get());
        next = s.next;
        if (s.stop) {
            out.why = WatchEnd::Why::Stopped;
            out.next_revision = next;
            return out;
        }
        if (s.ended) {
            if (s.end.why == WatchEnd::Why::Cancelled && s.end.error.code == kUnauthenticated &&
                !config.user.empty() && !reauthenticated) {
                // The token expired, or its member is gone: once more with a new one.
                reauthenticated = true;
                EtcdError err;
                if (authenticate(err)) continue;
            }
            if (s.end.why != WatchEnd::Why::Lost) {
                s.end.next_revision = next;
                return s.end;
            }
        }
        if (s.created) {
            failures = 0;
            std::lock_guard lock(mutex);
            current = at;
        }
        EtcdError lost = s.ended ? s.end.error
                                 : EtcdError{EtcdError::Kind::Unreachable, static_cast<int>(rc),
                                             config.endpoints[at] + ": " +
                                                 (rc == CURLE_OK ? std::string("the stream ended")
                                                                 : std::string(errbuf[0] ? errbuf
                                                                                         : curl_easy_strerror(rc)))};
        if (!options.resume_after_loss || ++failures >= n) {
            out.why = WatchEnd::Why::Lost;
            out.error = lost;
            out.next_revision = next;
            return out;
        }
        if (options.on_lost) options.on_lost(lost);
        at = (at + 1) % n;
    }
}

}  // namespace fleet
