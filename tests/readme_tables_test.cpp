// The README's tables are the code's own tables, row for row.
#include "option_table.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

// The rows of the README's table under `header` (its first line), in order.
Lines readme_rows(const std::string& header) {
  std::ifstream readme(QRN_README);
  EXPECT_TRUE(readme) << QRN_README;
  Lines rows;
  bool in_table = false;
  for (std::string line; std::getline(readme, line);) {
    if (line == header) in_table = true;
    else if (in_table && line.rfind("| `", 0) == 0) rows.push_back(line);
    else if (in_table && line.rfind("|---", 0) != 0) break;
  }
  return rows;
}

TEST(ReadmeTables, host_options_as_the_parser_defines_them) {
  Lines expected;
  for (std::size_t i = 0; i < kHostOptionCount; ++i) expected.push_back(option_table_row(kHostOptions[i]));
  EXPECT_EQ(readme_rows("| Option | Without it | Allowed | What it does |"), expected);
}

}  // namespace
