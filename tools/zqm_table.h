// Text tables of the zqm tool: every column as wide as its widest cell, two
// spaces between columns, so that no content runs into its neighbour. Cells
// are written with their control characters escaped, one row per line; a
// cell may be given a terminal style (an SGR sequence such as "\033[32m"),
// written around it and not counted in the column's width.
#pragma once

#include <ostream>
#include <string>
#include <vector>

class TextTable {
 public:
  explicit TextTable(std::vector<std::string> header);

  // A row of at most as many cells as the header has; missing cells are
  // empty. `styles`, when given, holds each cell's style ("" for none).
  void AddRow(std::vector<std::string> cells, std::vector<std::string> styles = {});

  void Print(std::ostream& out) const;

 private:
  std::vector<std::vector<std::string>> rows_;  // the header first
  std::vector<std::vector<std::string>> styles_;
};
