/* SPDX-License-Identifier: Apache-2.0 */
// Whole files, and shell commands, for tests in every folder.
#ifndef TELMOR_TEST_FILES_H
#define TELMOR_TEST_FILES_H

#include <cstdint>
#include <string>
#include <vector>

namespace tvtest {

// The file's bytes; empty when it cannot be read.
std::string read_file(const std::string &path);
std::vector<uint8_t> read_bytes(const std::string &path);
// Replaces the file's content (creating it) with exactly these bytes.
void write_file(const std::string &path, const std::string &content);
// write_bytes makes a new file 0600 and throws when not every byte is written.
void write_bytes(const std::string &path, const std::vector<uint8_t> &bytes);
bool exists(const std::string &path);
void remove_file(const std::string &path);

// Runs a command through /bin/sh: its exit code, or -1 when it did not exit.
int shell(const std::string &command);
// The same, with what it wrote to its standard output in `out`.
int shell_output(const std::string &command, std::string &out);

}  // namespace tvtest

#endif
