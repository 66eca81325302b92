// Columns aligned for people: the console's listings and walks print through this.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace korvo::console {

class TextTable {
  public:
    explicit TextTable(std::vector<std::string> headings) : rows_{std::move(headings)} {}

    void AddRow(std::vector<std::string> cells) { rows_.push_back(std::move(cells)); }
    bool empty() const { return rows_.size() == 1; }

    // Every row on one line, each column as wide as its widest cell and two spaces apart; the
    // last column is not padded, so lines carry no trailing blanks.
    void Print(std::ostream& out, const std::string& indent = "") const;

  private:
    std::vector<std::vector<std::string>> rows_;
};

}  // namespace korvo::console
