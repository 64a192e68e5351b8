// SPDX-License-Identifier: Apache-2.0
// The two log writers: HX_VAQ_Wrilog for this library's messages and
// APP_WriLog for the finished texts of the key library. Each line is built
// whole in a buffer on the stack and appended by one write, so lines of
// threads and processes sharing the file never interleave. A line that does
// not fit is dropped whole, never cut. The writers keep errno as they found
// it: a caller may log a failure and then report its errno.
//
// A message may carry text that a caller or the file system chose (a file
// name, a role string): its control characters are written escaped, so that
// no such text can end a line and forge the next one. Only a message's own
// final line end is written as it is.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "common/log.h"
#include "host/bounded.h"
#include "host/log_file.h"
#include "host/log_path.h"
#include "host/log_mute.h"
#include "host/sys.h"
#include "host/thread_id.h"

int32_t g_vaq_log_level = 2;
uint32_t g_api_log_level = 0;

namespace {

constexpr std::size_t kLineSize = 1024;
// The pieces before the message may fill the line up to here; the message
// may take it to kLineSize - 1 characters.
constexpr std::size_t kHeaderLimit = 1022;

class ErrnoKeeper {
public:
    ErrnoKeeper() : saved_(errno) {}
    ~ErrnoKeeper() { errno = saved_; }
    ErrnoKeeper(const ErrnoKeeper &) = delete;
    ErrnoKeeper &operator=(const ErrnoKeeper &) = delete;

private:
    int saved_;
};

// "[%-5s] " of the level's name.
const char *level_tag(int64_t level) {
    switch (level) {
        case 1:
            return "[WARN ] ";
        case 2:
            return "[ERROR] ";
        default:
            return "[INFO ] ";
    }
}

// A line under construction: each piece goes at the running length.
class Line {
public:
    // Pieces before the message, put together by hand: their form is fixed,
    // and a format call per piece cost more than the line's write. False
    // drops the line.
    bool text(const char *piece) {
        const std::size_t n = std::strlen(piece);
        if (length_ + n > kHeaderLimit) return false;
        std::memcpy(buffer_ + length_, piece, n + 1);
        length_ += n;
        return true;
    }

    // As "%0<width>lld".
    bool number(int64_t value, unsigned width) {
        const std::size_t n = tv::put_decimal(buffer_ + length_, kHeaderLimit - length_, value, width);
        if (n == 0) return false;
        length_ += n;
        buffer_[length_] = '\0';
        return true;
    }

    // Formatted in place; only a message that holds a character to escape
    // (rare: a caller's or the file system's text) is copied out and back.
    __attribute__((format(printf, 2, 0))) bool message(const char *format, std::va_list args) {
        char *text = buffer_ + length_;
        if (tv::vsprintf_s(text, kLineSize - length_, format, args) < 0) return false;
        // A %c of 0 ends the text there, as it ends every C string.
        const char *p = text;
        while (*p != '\0' && written_as_is(p)) ++p;
        if (*p == '\0') {
            length_ += static_cast<std::size_t>(p - text);
            return true;
        }
        char copy[kLineSize];
        std::memcpy(copy, text, std::strlen(text) + 1);
        return escaped(copy);
    }

    // The key library's finished text.
    bool copy(const char *message) { return escaped(message); }

    // A caller's text before the message (a file or module name), escaped
    // like a message and padded to width, between the given delimiters.
    bool field(const char *open, const char *value, std::size_t width) {
        if (!text(open)) return false;
        const std::size_t start = length_;
        if (!escaped(value == nullptr ? "(null)" : value)) return false;
        while (length_ - start < width && length_ < kHeaderLimit) buffer_[length_++] = ' ';
        buffer_[length_] = '\0';
        return length_ <= kHeaderLimit;
    }

    void append_to_file() const { tv::append_log_line(buffer_, length_); }

private:
    // Whether the character at p goes into the line unescaped: anything but a
    // control character, and a line end that ends the text.
    static bool written_as_is(const char *p) {
        const auto c = static_cast<unsigned char>(*p);
        return (c >= 0x20 && c != 0x7f) || (c == '\n' && p[1] == '\0');
    }

    // Appends text up to its terminating zero with its control characters
    // escaped; false, with nothing kept, when the line would not fit.
    bool escaped(const char *text) {
        static constexpr char kHex[] = "0123456789abcdef";
        std::size_t at = length_;
        for (const char *p = text; *p != '\0'; ++p) {
            const auto c = static_cast<unsigned char>(*p);
            const bool plain = written_as_is(p);
            const std::size_t need = plain ? 1 : 4;
            if (at + need >= kLineSize) return false;
            if (plain) {
                buffer_[at++] = static_cast<char>(c);
            } else {
                buffer_[at++] = '\\';
                buffer_[at++] = 'x';
                buffer_[at++] = kHex[c >> 4];
                buffer_[at++] = kHex[c & 0xf];
            }
        }
        buffer_[at] = '\0';
        length_ = at;
        return true;
    }

    char buffer_[kLineSize] = {};
    std::size_t length_ = 0;
};

int32_t thread_id() { return static_cast<int32_t>(tv::current_thread_id()); }

thread_local bool t_muted = false;

}  // namespace

namespace tv {

bool log_muted() { return t_muted; }

LogMute::LogMute(bool on) : was_(t_muted) { t_muted = on; }

LogMute::~LogMute() { t_muted = was_; }

}  // namespace tv

extern "C" void HX_VAQ_Wrilog(int64_t line, const char *file, uint32_t level, const char *format, ...) {
    const ErrnoKeeper keep_errno;
    if (t_muted || !tv::log_path_ready() || level < g_api_log_level) return;
    Line out;
    if (!out.text(level_tag(level)) || !out.field("[", file, 15) || !out.text(" ") || !out.number(line, 6) ||
        !out.text("] [") || !out.number(thread_id(), 6) || !out.text("] [HXVAQ] ")) {
        return;
    }
    const time_t now = tv::sys().time(nullptr);
    std::tm utc{};
    if (now < 0 || tv::sys().gmtime_r(&now, &utc) == nullptr) return;
    // "(UTC) %04u-%02u-%02u %02u:%02u:%02u ", each field as the unsigned it was printed as.
    const auto field_of = [](int value) { return int64_t{static_cast<unsigned>(value)}; };
    if (!out.text("(UTC) ") || !out.number(field_of(utc.tm_year + 1900), 4) || !out.text("-") ||
        !out.number(field_of(utc.tm_mon + 1), 2) || !out.text("-") || !out.number(field_of(utc.tm_mday), 2) ||
        !out.text(" ") || !out.number(field_of(utc.tm_hour), 2) || !out.text(":") ||
        !out.number(field_of(utc.tm_min), 2) || !out.text(":") || !out.number(field_of(utc.tm_sec), 2) ||
        !out.text(" ")) {
        return;
    }
    std::va_list args;
    va_start(args, format);
    const bool formatted = out.message(format, args);
    va_end(args);
    if (formatted) out.append_to_file();
}

extern "C" void APP_WriLog(int32_t level, const char *module, const char *file, int32_t line, const char *message) {
    const ErrnoKeeper keep_errno;
    if (t_muted || !tv::log_path_ready() || level < g_vaq_log_level) return;
    Line out;
    if (!out.text(level_tag(level)) || !out.field("[", file, 15) || !out.text(" ") || !out.number(line, 6) ||
        !out.text("] [") || !out.number(thread_id(), 6) || !out.field("] [", module, 5) || !out.text("] ")) {
        return;
    }
    if (out.copy(message)) out.append_to_file();
}

extern "C" void APP_RecvNotify(int32_t code, unsigned long, unsigned long) {
    VAQ_LOG(tv::kWarn, "APP_RecvNotify  eNtfCode=%d\n", code);
}

extern "C" void APP_DoEvents(void) {}
