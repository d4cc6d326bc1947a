#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "cli/command_line.h"

namespace {

struct ScanCase {
  const char* line;
  RunMode mode;
  const char* name;
};

std::ostream& operator<<(std::ostream& out, const ScanCase& c) {
  return out << '"' << c.line << '"';
}

class ScanTest : public ::testing::TestWithParam<ScanCase> {};

TEST_P(ScanTest, FindsModeAndName) {
  const ScanCase& c = GetParam();
  toolState = ToolState();
  EXPECT_EQ(c.mode, ScanCommandLine(c.line));
  EXPECT_STREQ(c.name, toolState.imageName);
}

INSTANTIATE_TEST_SUITE_P(Usage, ScanTest, ::testing::Values(
    ScanCase{"", MODE_NONE, ""},
    ScanCase{"kembu", MODE_NONE, ""},
    ScanCase{"kembu   ", MODE_NONE, ""},
    ScanCase{"kembu fw.img", MODE_NONE, ""},
    ScanCase{"kembu b", MODE_NONE, ""},             // no space after the letter
    ScanCase{"kembu bfw.img", MODE_NONE, ""},
    ScanCase{"kembu x\tb fw.img", MODE_NONE, ""},   // a control byte ends the line
    ScanCase{"kembub fw.img", MODE_NONE, ""},       // the letter before the first space
    ScanCase{"kembu\tb fw.img", MODE_NONE, ""}));

INSTANTIATE_TEST_SUITE_P(Letters, ScanTest, ::testing::Values(
    ScanCase{"kembu b fw.img", MODE_BACKUP, "fw.img"},
    ScanCase{"kembu r fw.img", MODE_RESTORE, "fw.img"},
    ScanCase{"kembu B fw.img", MODE_BACKUP, "fw.img"},
    ScanCase{"kembu R fw.img", MODE_RESTORE, "fw.img"},
    ScanCase{"kembu -b fw.img", MODE_BACKUP, "fw.img"},
    ScanCase{"kembu /R fw.img", MODE_RESTORE, "fw.img"},
    ScanCase{"kembu xb fw.img", MODE_BACKUP, "fw.img"},
    ScanCase{"kembu \xC2 fw.img", MODE_BACKUP, "fw.img"},
    ScanCase{"kembu \xE2 fw.img", MODE_BACKUP, "fw.img"},
    ScanCase{"kembu \xD2 fw.img", MODE_RESTORE, "fw.img"},
    ScanCase{"kembu \xF2 fw.img", MODE_RESTORE, "fw.img"},
    ScanCase{"kembu \x82 fw.img", MODE_NONE, ""},     // bit 6 is kept
    ScanCase{"kembu r b fw.img", MODE_RESTORE, "b fw.img"},
    ScanCase{"kembu fw.img b x", MODE_BACKUP, "x"},  // leftmost letter before a space
    ScanCase{"kembu herb r x", MODE_BACKUP, "r x"},
    ScanCase{"C:\\my lab tools\\kembu.exe fw.img", MODE_BACKUP, "tools\\kembu.exe fw.img"},
    ScanCase{"\"C:\\x y\\kembu.exe\" r fw.img", MODE_RESTORE, "fw.img"}));

INSTANTIATE_TEST_SUITE_P(Names, ScanTest, ::testing::Values(
    ScanCase{"kembu b ", MODE_BACKUP, ""},
    ScanCase{"kembu r    ", MODE_RESTORE, ""},
    ScanCase{"kembu b    fw.img", MODE_BACKUP, "fw.img"},
    ScanCase{"kembu b my image.fw  ", MODE_BACKUP, "my image.fw  "},
    ScanCase{"kembu b \"my image.fw\"", MODE_BACKUP, "\"my image.fw\""},
    ScanCase{"kembu b fw.img\r\n", MODE_BACKUP, "fw.img"},
    ScanCase{"kembu b a\x7F\xFF", MODE_BACKUP, "a\x7F\xFF"},
    ScanCase{"kembu b a\x1F" "b", MODE_BACKUP, "a"}));

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
    const char* name = UnquoteName(field);
    if (c.name) {
      EXPECT_STREQ(c.name, name) << c.typed;
    } else {
      EXPECT_EQ(nullptr, name) << c.typed;
    }
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
