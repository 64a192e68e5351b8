// SPDX-License-Identifier: Apache-2.0
#include "log_reader.h"

#include <fstream>
#include <regex>
#include <sstream>

#include "node_layout.h"

namespace tvtest {

std::string process_name() {
    std::ifstream in("/proc/self/comm");
    std::string name;
    std::getline(in, name);
    // The library reads the "Name:" field with %s, which stops at a blank.
    return name.substr(0, name.find(' '));
}

std::string log_path_of(int role, const std::string &name) {
    for (const node_layout::RoleLayout &row : node_layout::kRoles) {
        if (row.nodeType == role) return std::string(row.logDir) + "/" + row.logPrefix + name + ".log.0";
    }
    return "";
}

std::string log_path(int role) { return log_path_of(role, process_name()); }

std::vector<std::string> read_lines(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

std::vector<std::string> read_log(int role) { return read_lines(log_path(role)); }

void clear_log(int role) { std::ofstream(log_path(role), std::ios::trunc); }

std::string regex_escape(const std::string &text) {
    static const std::string special = R"(\^$.|?*+()[]{})";
    std::string out;
    for (char c : text) {
        if (special.find(c) != std::string::npos) out += '\\';
        out += c;
    }
    return out;
}

static std::string level_piece(const std::string &level) {
    std::string padded = level;
    padded.resize(std::max<size_t>(5, level.size()), ' ');
    return regex_escape("[" + padded + "] ");
}

std::string api_line_pattern(const std::string &level, const std::string &message) {
    return level_piece(level) + R"(\[telmor_vaq_api\.cpp \d{6,}\] \[\d{6,}\] \[HXVAQ\] )" +
           R"(\(UTC\) \d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} )" + regex_escape(message);
}

std::string vaq_line_pattern(const std::string &level, const std::string &module, const std::string &file,
                             const std::string &message) {
    std::string mod = module;
    mod.resize(std::max<size_t>(5, module.size()), ' ');
    std::string f = file;
    f.resize(std::max<size_t>(15, file.size()), ' ');
    return level_piece(level) + regex_escape("[" + f + " ") + R"(-?\d{6,}\] \[\d{6,}\] )" +
           regex_escape("[" + mod + "] ") + regex_escape(message);
}

bool matches(const std::string &line, const std::string &pattern) {
    return std::regex_match(line, std::regex(pattern));
}

std::vector<std::string> api_messages(const std::vector<std::string> &lines) {
    static const std::regex api(R"(\[(INFO |WARN |ERROR)\] \[telmor_vaq_api\.cpp \d{6,}\] \[\d{6,}\] \[HXVAQ\] )"
                                R"(\(UTC\) \d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} (.*))");
    std::vector<std::string> out;
    for (const auto &line : lines) {
        std::smatch m;
        if (std::regex_match(line, m, api)) {
            std::string level = m[1].str();
            while (!level.empty() && level.back() == ' ') level.pop_back();
            out.push_back(level + "|" + m[2].str());
        }
    }
    return out;
}

int count_api(const std::vector<std::string> &lines, const std::string &level, const std::string &message) {
    int n = 0;
    for (const auto &m : api_messages(lines)) n += (m == level + "|" + message);
    return n;
}

}  // namespace tvtest
