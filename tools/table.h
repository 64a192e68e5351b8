/* SPDX-License-Identifier: Apache-2.0 */
// Plain-text tables whose columns are as wide as their widest cell.
#ifndef TELMOR_VAQ_TOOL_TABLE_H
#define TELMOR_VAQ_TOOL_TABLE_H

#include <algorithm>
#include <string>
#include <vector>

namespace cli {

class TextTable {
public:
    explicit TextTable(std::vector<std::string> header) { rows_.push_back(std::move(header)); }
    void add(std::vector<std::string> row) { rows_.push_back(std::move(row)); }
    std::string render() const {
        std::vector<size_t> width;
        for (const auto &row : rows_) {
            if (width.size() < row.size()) width.resize(row.size(), 0);
            for (size_t i = 0; i < row.size(); ++i) width[i] = std::max(width[i], row[i].size());
        }
        std::string out;
        for (const auto &row : rows_) {
            std::string line;
            for (size_t i = 0; i < row.size(); ++i) {
                line += row[i];
                if (i + 1 < row.size()) line += std::string(width[i] - row[i].size() + 2, ' ');
            }
            out += line + "\n";
        }
        return out;
    }

private:
    std::vector<std::vector<std::string>> rows_;
};

}  // namespace cli

#endif
