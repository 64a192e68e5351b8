/* SPDX-License-Identifier: Apache-2.0 */
// Secrets and passwords in memory the tool owns: read without growing copies,
// wiped when released, asked on a terminal with echo off.
#ifndef TELMOR_VAQ_TOOL_SECRET_IO_H
#define TELMOR_VAQ_TOOL_SECRET_IO_H

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "cli.h"

namespace cli {

// A byte buffer that wipes every block it gives up: growing copies into a new
// block and wipes the old one, and the destructor wipes the last. Not copyable.
class SecretBuffer {
public:
    SecretBuffer() = default;
    ~SecretBuffer();
    SecretBuffer(SecretBuffer &&other) noexcept;
    SecretBuffer &operator=(SecretBuffer &&other) noexcept;
    SecretBuffer(const SecretBuffer &) = delete;
    SecretBuffer &operator=(const SecretBuffer &) = delete;

    void append(const void *bytes, size_t n);
    void push_back(char c) { append(&c, 1); }
    void pop_back() {
        if (size_ > 0) data_[--size_] = 0;
    }
    void clear();
    const unsigned char *data() const { return data_; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    char back() const { return static_cast<char>(data_[size_ - 1]); }
    std::string_view view() const { return {reinterpret_cast<const char *>(data_), size_}; }
    bool operator==(const SecretBuffer &other) const { return view() == other.view(); }

private:
    void reserve(size_t capacity);
    unsigned char *data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

// Everything on `fd` up to end of file, at most `limit` bytes (more is a failure).
SecretBuffer read_all_secret(int fd, size_t limit);
// A secret: asked without echo on a terminal, else all of stdin.
SecretBuffer read_secret(const char *prompt, size_t limit);
// A password: the first line on --password-fd (echo off when that is a
// terminal), else asked on the terminal, twice when `confirm`. At least
// `minLength` characters.
SecretBuffer read_password(const Options &opt, bool confirm, size_t minLength);
// One answer line from the terminal (echo on), e.g. to a yes/no question.
std::string ask(const char *question);

}  // namespace cli

#endif
