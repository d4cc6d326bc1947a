// How the raw command line picks the operation and the image name, seen from
// what the program prints and which file it touched.
#include "../command_lines.h"
#include "harness.h"

void PrintTo(const LineRow& row, std::ostream* out) { *out << row.label; }

namespace {

class Line : public E2eTest, public ::testing::WithParamInterface<LineRow> {};

// fw.img and the named file are distinct valid images and KEMBU.BIN holds a
// body, so each outcome leaves a different trace. "<dir>" in a line stands
// for the test directory, as an absolute Windows path.
TEST_P(Line, PicksOperationAndName) {
  const LineRow& c = GetParam();
  Put("fw.img", MakeImage(600, 1));
  Put("KEMBU.BIN", Pattern(kBodySize, 2));
  if (c.name) Put(c.name, MakeImage(700, 3));
  Files expected = Snapshot();

  std::string line = c.line;
  const size_t dir = line.find("<dir>");
  if (dir != std::string::npos) {
    std::string windowsDir = "Z:" + dir_;
    for (char& byte : windowsDir) byte = byte == '/' ? '\\' : byte;
    line.replace(dir, 5, windowsDir);
  }
  const Bytes out = Run(line);

  if (c.op == 'b') {
    EXPECT_EQ(out, Said("Backup Ok!"));
    expected["KEMBU.BIN"] = Body(expected[c.name]);
  } else if (c.op == 'r') {
    EXPECT_EQ(out, Said("Restore Ok!"));
    expected[c.name] = Restored(expected[c.name], expected["KEMBU.BIN"]);
  } else {
    EXPECT_EQ(out, c.op == 'x' ? Said("Image name has unsupported characters!") : Usage());
  }
  ExpectFiles(expected);
}

std::string Label(const ::testing::TestParamInfo<LineRow>& info) { return info.param.label; }

INSTANTIATE_TEST_SUITE_P(Usage, Line, ::testing::ValuesIn(kUsageLines), Label);
INSTANTIATE_TEST_SUITE_P(Operation, Line, ::testing::ValuesIn(kOperationLines), Label);
INSTANTIATE_TEST_SUITE_P(Name, Line, ::testing::ValuesIn(kNameLines), Label);

// Windows strips trailing spaces from file names itself. Linux file names may
// hold control bytes, which end the line that kembu joins from its
// arguments: a name they cut short could be another file's, so it is refused.
INSTANTIATE_TEST_SUITE_P(LinuxOnly, Line, ::testing::Values(
    LineRow{"SpacesAfterName", "kembu b fw.img  ", 'b', "fw.img  "},
    LineRow{"TabInsideName", "kembu r fw.img\tnew", 'x', "fw.img\tnew"},
    LineRow{"LineFeedAtEnd", "kembu b fw.img\n", 'x', "fw.img\n"},
    LineRow{"ControlByteFirst", "kembu b \x01" "fw.img", 'x', "\x01" "fw.img"},
    LineRow{"ControlByteInLaterArgument", "kembu r my fw.img x\ty", 'x',
             "my fw.img x"}), Label);

// The scan starts at the first space, which may be inside the program's path.
// No Windows file name holds a control character or a quotation mark: the
// line ends at the one, and the other may only enclose the whole name.
INSTANTIATE_TEST_SUITE_P(WindowsOnly, Line, ::testing::Values(
    LineRow{"TabEndsLine", "kembu b fw.img\tother.img", 'b', "fw.img"},
    LineRow{"Quoted", "kembu b \"fw.img\"", 'b', "fw.img"},
    LineRow{"QuotedWithSpace", "kembu r \"my fw.img\"", 'r', "my fw.img"},
    LineRow{"QuotedThenSpaces", "kembu -b \"my fw.img\"  ", 'b', "my fw.img"},
    LineRow{"QuotedAbsolutePath", "kembu r \"<dir>\\fw files\\fw.img\"", 'r',
             "fw files/fw.img"},
    LineRow{"QuoteNeverClosed", "kembu b \"fw.img", 'x', nullptr},
    LineRow{"TextAfterClosingQuote", "kembu r \"fw.img\"x", 'x', nullptr},
    LineRow{"QuoteInsideName", "kembu b fw\".img", 'x', nullptr},
    LineRow{"DoubledQuotes", "kembu r \"\"fw.img\"\"", 'x', nullptr},
    LineRow{"PathWithoutLetter", "C:\\my tools\\kembu.exe fw.img", 0, nullptr},
    LineRow{"PathWordEndsInB", "C:\\my lab tools\\kembu.exe fw.img", 'b',
             "tools/kembu.exe fw.img"},
    LineRow{"PathWordEndsInR", "C:\\apps for tools\\kembu.exe fw.img", 'r',
             "tools/kembu.exe fw.img"}), Label);

}  // namespace
