#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "cli/command_line.h"
#include "command_lines.h"

void PrintTo(const LineRow& row, std::ostream* out) { *out << '"' << row.line << '"'; }

namespace {

class ScanTest : public ::testing::TestWithParam<LineRow> {};

TEST_P(ScanTest, FindsModeAndName) {
  const LineRow& row = GetParam();
  toolState = ToolState();
  EXPECT_EQ(row.op == 'b' ? MODE_BACKUP : row.op == 'r' ? MODE_RESTORE : MODE_NONE,
            ScanCommandLine(row.line));
  EXPECT_STREQ(row.name ? row.name : "", toolState.imageName);
}

INSTANTIATE_TEST_SUITE_P(Usage, ScanTest, ::testing::ValuesIn(kUsageLines));
INSTANTIATE_TEST_SUITE_P(Operation, ScanTest, ::testing::ValuesIn(kOperationLines));
INSTANTIATE_TEST_SUITE_P(Name, ScanTest, ::testing::ValuesIn(kNameLines));

// Lines the scan alone is checked on.
INSTANTIATE_TEST_SUITE_P(Scan, ScanTest, ::testing::Values(
    LineRow{"", "", 0, ""},
    LineRow{"", "kembu   ", 0, ""},
    LineRow{"", "kembu x\tb fw.img", 0, ""},   // a control byte ends the line
    LineRow{"", "kembub fw.img", 0, ""},       // the letter before the first space
    LineRow{"", "kembu\tb fw.img", 0, ""},
    LineRow{"", "kembu /R fw.img", 'r', "fw.img"},
    LineRow{"", "kembu \x82 fw.img", 0, ""},     // bit 6 is kept
    LineRow{"", "kembu fw.img b x", 'b', "x"},  // leftmost letter before a space
    LineRow{"", "kembu herb r x", 'b', "r x"},
    LineRow{"", "C:\\my lab tools\\kembu.exe fw.img", 'b', "tools\\kembu.exe fw.img"},
    LineRow{"", "\"C:\\x y\\kembu.exe\" r fw.img", 'r', "fw.img"},
    LineRow{"", "kembu b ", 'b', ""},
    LineRow{"", "kembu r    ", 'r', ""},
    LineRow{"", "kembu b my image.fw  ", 'b', "my image.fw  "},
    LineRow{"", "kembu b \"my image.fw\"", 'b', "\"my image.fw\""},
    LineRow{"", "kembu b fw.img\r\n", 'b', "fw.img"},
    LineRow{"", "kembu b a\x7F\xFF", 'b', "a\x7F\xFF"},
    LineRow{"", "kembu b a\x1F" "b", 'b', "a"}));

// Quotation marks may only enclose the whole name, spaces after it allowed;
// null marks a refused name.
TEST(UnquoteName, TakesTheNameInsideOrRefuses) {
  const struct {
    const char* typed;
    const char* name;
  } cases[] = {
      {"fw.img", "fw.img"},          {"\"fw.img\"", "fw.img"},
      {"\"my fw.img\"  ", "my fw.img"}, {"\"\"", ""},
      {"", ""},                      {"\"fw.img", nullptr},
      {"\"fw.img\"x", nullptr},      {"\"fw.img\" x", nullptr},
      {"fw\".img", nullptr},         {"fw.img\"", nullptr},
      {"\"\"fw.img\"\"", nullptr},   {"\"fw.img\"\"", nullptr},
  };
  for (const auto& c : cases) {
    char field[NAME_FIELD_SIZE];
    strcpy(field, c.typed);
    EXPECT_EQ(c.name != nullptr, UnquoteName(field)) << c.typed;
    EXPECT_STREQ(c.name ? c.name : c.typed, field) << c.typed;  // a refused name stays
  }
}

TEST(ScanNameLength, TakesLongestThatFitsAndRefusesLonger) {
  const std::string longest(NAME_FIELD_SIZE - 1, 'n');
  toolState = ToolState();
  EXPECT_EQ(MODE_RESTORE, ScanCommandLine(("kembu r " + longest).c_str()));
  EXPECT_EQ(longest, toolState.imageName);

  // Trailing spaces count: they belong to the name.
  EXPECT_EQ(MODE_NAME_TOO_LONG, ScanCommandLine(("kembu r " + longest + " ").c_str()));
  EXPECT_STREQ("", toolState.imageName);
}

TEST(ScanNameLength, NeverWritesPastTheNameField) {
  toolState = ToolState();
  for (auto& byte : toolState.headerBuffer) byte = 0xA5;
  const std::string huge(100000, 'n');
  EXPECT_EQ(MODE_BACKUP, ScanCommandLine("kembu b ok"));
  EXPECT_EQ(MODE_NAME_TOO_LONG, ScanCommandLine(("kembu b " + huge).c_str()));
  for (auto byte : toolState.headerBuffer) ASSERT_EQ(0xA5, byte);
}

}  // namespace
