/* SPDX-License-Identifier: Apache-2.0 */
// Reading the log files that the library writes, and matching their lines.
// A line is checked whole; only the call-site line number, the thread id and
// the time stamp are matched by pattern.
#ifndef TELMOR_TEST_LOG_READER_H
#define TELMOR_TEST_LOG_READER_H

#include <string>
#include <vector>

namespace tvtest {

// The name the kernel gives this process (/proc/self/comm), as the library reads it.
std::string process_name();
// The log file of role 1, 2 or 3 for this process.
std::string log_path(int role);
// The log file a process called `name` writes in that role.
std::string log_path_of(int role, const std::string &name);
// The file's lines, split at '\n' (the line end itself dropped). Empty if missing.
std::vector<std::string> read_lines(const std::string &path);
std::vector<std::string> read_log(int role);
void clear_log(int role);

// Regular expression for a line of HX_VAQ_Wrilog: level text, our module, any
// line number, any thread id, any UTC time, then exactly `message`
// (given without its trailing "\n").
std::string api_line_pattern(const std::string &level, const std::string &message);
// Regular expression for a line of APP_WriLog.
std::string vaq_line_pattern(const std::string &level, const std::string &module, const std::string &file,
                             const std::string &message);
bool matches(const std::string &line, const std::string &pattern);

// The message part of each HX_VAQ_Wrilog line ("LEVEL|message"), in order;
// other lines are left out. Handy for checking a sequence of lines.
std::vector<std::string> api_messages(const std::vector<std::string> &lines);
// Number of lines whose message part equals level|message.
int count_api(const std::vector<std::string> &lines, const std::string &level, const std::string &message);

std::string regex_escape(const std::string &text);

}  // namespace tvtest

#endif
