/* SPDX-License-Identifier: Apache-2.0 */
// Lines of one thread held back for a while: a reload tried again while the
// cause of its last failure lasts writes the same lines each time, and one
// summary line stands for them instead (keystore/held_keystore.h).
#ifndef TELMOR_VAQ_HOST_LOG_MUTE_H
#define TELMOR_VAQ_HOST_LOG_MUTE_H

namespace tv {

// Whether the calling thread's lines are dropped (the library's and the key
// libraries' alike).
bool log_muted();

// Mutes (or, given false, unmutes) the calling thread's lines for its scope.
class LogMute {
public:
    explicit LogMute(bool on);
    ~LogMute();
    LogMute(const LogMute &) = delete;
    LogMute &operator=(const LogMute &) = delete;

private:
    bool was_;
};

}  // namespace tv

#endif  // TELMOR_VAQ_HOST_LOG_MUTE_H
