/* SPDX-License-Identifier: Apache-2.0 */
// The reload lock held for reading over one call into the key libraries.
#ifndef TELMOR_VAQ_KEYSTORE_READER_LOCK_H
#define TELMOR_VAQ_KEYSTORE_READER_LOCK_H

#include "telmor_vaq_api.h"

namespace tv {

// Takes the lock for reading; held() says whether that worked (the lock
// wrapper logs a failure). release() gives it back and answers whether that
// worked too, since a failed unlock voids what was read under the lock; a
// guard that goes out of scope still holding the lock gives it back unasked.
class ReaderLock {
public:
    ReaderLock() : held_(rdlock_vaq_mem() == 0) {}
    ~ReaderLock() {
        if (held_) unlock_vaq_mem();
    }
    ReaderLock(const ReaderLock &) = delete;
    ReaderLock &operator=(const ReaderLock &) = delete;

    bool held() const { return held_; }

    [[nodiscard]] bool release() {
        if (!held_) return false;
        held_ = false;
        return unlock_vaq_mem() == 0;
    }

private:
    bool held_;
};

}  // namespace tv

#endif  // TELMOR_VAQ_KEYSTORE_READER_LOCK_H
