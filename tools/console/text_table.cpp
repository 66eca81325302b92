// Column alignment for the console's human-readable output.
#include "console/text_table.h"

#include <algorithm>

namespace korvo::console {

namespace {

// Width on a terminal: UTF-8 continuation bytes take no column of their own.
size_t DisplayWidth(const std::string& text) {
    return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

}  // namespace

void TextTable::Print(std::ostream& out, const std::string& indent) const {
    std::vector<size_t> widths;
    for (const auto& row : rows_) {
        widths.resize(std::max(widths.size(), row.size()), 0);
        for (size_t column = 0; column < row.size(); ++column) {
            widths[column] = std::max(widths[column], DisplayWidth(row[column]));
        }
    }
    for (const auto& row : rows_) {
        std::string line = indent;
        for (size_t column = 0; column < row.size(); ++column) {
            line += row[column];
            if (column + 1 < row.size()) {
                line.append(widths[column] - DisplayWidth(row[column]) + 2, ' ');
            }
        }
        while (line.size() > indent.size() && line.back() == ' ') {
            line.pop_back();
        }
        out << line << '\n';
    }
}

}  // namespace korvo::console
