/* SPDX-License-Identifier: Apache-2.0 */
// A result record that a query hands to its caller through an out pointer.
#ifndef TELMOR_VAQ_SERVICE_HANDED_OUT_H
#define TELMOR_VAQ_SERVICE_HANDED_OUT_H

namespace tv {

// Owns *out, and everything hanging from it, until commit(): a call that
// returns without committing frees it with `release` and leaves *out null,
// so a failed query hands out nothing. `release` takes a record that may be
// only partly filled.
template <typename T, void (*release)(T *)>
class HandedOut {
public:
    explicit HandedOut(T **out) : out_(out) {}
    HandedOut(const HandedOut &) = delete;
    HandedOut &operator=(const HandedOut &) = delete;
    ~HandedOut() {
        if (committed_ || *out_ == nullptr) return;
        release(*out_);
        *out_ = nullptr;
    }

    T *operator->() const { return *out_; }
    void commit() { committed_ = true; }

private:
    T **out_;
    bool committed_ = false;
};

}  // namespace tv

#endif  // TELMOR_VAQ_SERVICE_HANDED_OUT_H
