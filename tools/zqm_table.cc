#include "tools/zqm_table.h"

#include <algorithm>

#include "DEVUror/zqm_trace.h"

TextTable::TextTable(std::vector<std::string> header) {
  AddRow(std::move(header));
}

void TextTable::AddRow(std::vector<std::string> cells, std::vector<std::string> styles) {
  for (std::string& cell : cells)
    cell = zqm_trace::Escaped(cell);
  if (!rows_.empty()) cells.resize(rows_.front().size());
  styles.resize(cells.size());
  rows_.push_back(std::move(cells));
  styles_.push_back(std::move(styles));
}

void TextTable::Print(std::ostream& out) const {
  std::vector<std::size_t> widths(rows_.front().size(), 0);
  for (const auto& row : rows_) {
    for (std::size_t i = 0; i < row.size(); ++i)
      widths[i] = std::max(widths[i], row[i].size());
  }
  for (std::size_t r = 0; r < rows_.size(); ++r) {
    const auto& row = rows_[r];
    std::string line;
    for (std::size_t i = 0; i < row.size(); ++i) {
      const std::string& style = styles_[r][i];
      line += style.empty() || row[i].empty() ? row[i] : style + row[i] + "\033[0m";
      if (i + 1 < row.size()) line.append(widths[i] - row[i].size() + 2, ' ');
    }
    line.erase(line.find_last_not_of(' ') + 1);
    out << line << '\n';
  }
}
