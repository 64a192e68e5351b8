// SPDX-License-Identifier: Apache-2.0
#include "host/last_failure.h"

#include <cstring>

#include "common/error_text.h"
#include "host/bounded.h"
#include "private/telmor_vaq_private.h"

namespace tv {
namespace {

thread_local telmor_vaq_failure t_last{};

void set_object(uint32_t kind, const char *reason, int err) {
    t_last.kind = kind;
    t_last.error = reason == nullptr ? err : 0;
    if (strcpy_s(t_last.reason, sizeof t_last.reason, reason != nullptr ? reason : error_text(err)) != 0)
        t_last.reason[0] = '\0';
}

}  // namespace

void record_file_failure(const char *path, const char *reason, int err) {
    set_object(TELMOR_VAQ_OBJECT_FILE, reason, err);
    t_last.ipc_key = 0;
    // A path longer than the record holds is cut, not dropped: its start
    // still names the file for a reader.
    const size_t n = strnlen(path, sizeof t_last.object - 1);
    memcpy_s(t_last.object, sizeof t_last.object, path, n);
    t_last.object[n] = '\0';
}

void record_ipc_failure(uint32_t kind, int32_t key, const char *reason, int err) {
    set_object(kind, reason, err);
    t_last.ipc_key = key;
    t_last.object[0] = '\0';
}

void record_code(unsigned long code) { t_last.code = code; }

unsigned long last_code() { return t_last.code; }

void clear_last_failure() { memset_s(&t_last, sizeof t_last, 0, sizeof t_last); }

}  // namespace tv

extern "C" unsigned long telmor_vaq_last_failure(telmor_vaq_failure *out) {
    if (out == nullptr) return 1;
    *out = tv::t_last;
    return 0;
}
