// The README's tables are the code's own tables, row for row.
#include "option_table.h"
#include "settings_schema.h"
#include "sparkplug_settings.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

// The rows of the README's first table under `header` (its first line), in
// order; within the section headed `section` when one is given.
Lines readme_rows(const std::string& header, const std::string& section = "") {
  std::ifstream readme(QRN_README);
  EXPECT_TRUE(readme) << QRN_README;
  Lines rows;
  bool in_section = section.empty(), in_table = false;
  for (std::string line; std::getline(readme, line);) {
    if (!section.empty() && line.rfind("## ", 0) == 0) in_section = line == section;
    if (!in_section) continue;
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

const char kKeyTable[] = "| Key | Type | Default | Allowed | What it does |";

template <std::size_t N>
Lines setting_rows(const SettingEntry (&table)[N]) {
  Lines rows;
  for (const SettingEntry& e : table) rows.push_back(setting_table_row(e));
  return rows;
}

TEST(ReadmeTables, device_settings_and_opcua_keys_as_the_schema_says) {
  EXPECT_EQ(readme_rows(kKeyTable, "## Running against a real controller"), setting_rows(kDeviceSettings));
  EXPECT_EQ(readme_rows(kKeyTable, "## Connecting securely"), setting_rows(kOpcuaSettings));
}

TEST(ReadmeTables, sparkplug_keys_as_the_parser_reads_them) {
  Lines expected;
  for (const SparkplugKey& k : kSparkplugKeys) expected.push_back(sparkplug_table_row(k));
  EXPECT_EQ(readme_rows(kKeyTable, "## Publishing to a broker"), expected);
}

}  // namespace
