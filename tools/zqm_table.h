// Text tables of the zqm tool: every column as wide as its widest cell, two
// spaces between columns, so that no content runs into its neighbour. Cells
// are written with their control characters escaped, one row per line.
#pragma once

#include <ostream>
#include <string>
#include <vector>

class TextTable {
 public:
  explicit TextTable(std::vector<std::string> header);

  // A row of at most as many cells as the header has; missing cells are
  // empty.
  void AddRow(std::vector<std::string> cells);

  void Print(std::ostream& out) const;

 private:
  std::vector<std::vector<std::string>> rows_;  // the header first
};
