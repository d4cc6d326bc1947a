// How the raw command line picks the operation and the image name, seen from
// what the program prints and which file it touched.
#include <unistd.h>

#include "harness.h"

namespace {

enum class Asks { Usage, Backup, Restore, Refused };

struct LineCase {
  const char* label;
  const char* line;
  Asks asks;
  const char* file;  // the image the line names, or would name if it were cut
};

void PrintTo(const LineCase& c, std::ostream* out) { *out << c.label; }

class Line : public E2eTest, public ::testing::WithParamInterface<LineCase> {};

// fw.img and the named file are distinct valid images and KEMBU.BIN holds a
// body, so each outcome leaves a different trace. "<dir>" in a line stands
// for the test directory, as an absolute Windows path.
TEST_P(Line, PicksOperationAndName) {
  const LineCase& c = GetParam();
  Put("fw.img", MakeImage(600, 1));
  Put("KEMBU.BIN", Pattern(kBodySize, 2));
  if (c.file) Put(c.file, MakeImage(700, 3));
  Files expected = Snapshot();

  std::string line = c.line;
  const size_t dir = line.find("<dir>");
  if (dir != std::string::npos) {
    std::string windowsDir = "Z:" + dir_;
    for (char& byte : windowsDir) byte = byte == '/' ? '\\' : byte;
    line.replace(dir, 5, windowsDir);
  }
  const Bytes out = Run(line);

  switch (c.asks) {
    case Asks::Usage:
      EXPECT_EQ(out, Usage());
      break;
    case Asks::Backup:
      EXPECT_EQ(out, Said("Backup Ok!"));
      expected["KEMBU.BIN"] = Body(expected[c.file]);
      break;
    case Asks::Restore:
      EXPECT_EQ(out, Said("Restore Ok!"));
      expected[c.file] = Restored(expected[c.file], expected["KEMBU.BIN"]);
      break;
    case Asks::Refused:
      EXPECT_EQ(out, Said("Image name has unsupported characters!"));
      break;
  }
  ExpectFiles(expected);
}

std::string Label(const ::testing::TestParamInfo<LineCase>& info) { return info.param.label; }

INSTANTIATE_TEST_SUITE_P(Usage, Line, ::testing::Values(
    LineCase{"NoArguments", "kembu", Asks::Usage, nullptr},
    LineCase{"OneSpace", "kembu ", Asks::Usage, nullptr},
    LineCase{"OnlySpaces", "kembu    ", Asks::Usage, nullptr},
    LineCase{"OnlyName", "kembu fw.img", Asks::Usage, nullptr},
    LineCase{"LetterLast", "kembu b", Asks::Usage, nullptr},
    LineCase{"LetterLastAfterName", "kembu fw.img r", Asks::Usage, nullptr},
    LineCase{"LetterThenTab", "kembu b\tfw.img", Asks::Usage, nullptr},
    LineCase{"LetterGluedToName", "kembu bfw.img", Asks::Usage, nullptr}), Label);

INSTANTIATE_TEST_SUITE_P(Operation, Line, ::testing::Values(
    LineCase{"LowerB", "kembu b fw.img", Asks::Backup, "fw.img"},
    LineCase{"UpperB", "kembu B fw.img", Asks::Backup, "fw.img"},
    LineCase{"LowerR", "kembu r fw.img", Asks::Restore, "fw.img"},
    LineCase{"UpperR", "kembu R fw.img", Asks::Restore, "fw.img"},
    LineCase{"Dash", "kembu -b fw.img", Asks::Backup, "fw.img"},
    LineCase{"Slash", "kembu /r fw.img", Asks::Restore, "fw.img"},
    LineCase{"LetterBefore", "kembu xb fw.img", Asks::Backup, "fw.img"},
    LineCase{"RWithoutSpaceIsPassedOver", "kembu rb fw.img", Asks::Backup, "fw.img"},
    LineCase{"WordBeforeLetter", "kembu fw.img b fw.img", Asks::Backup, "fw.img"},
    LineCase{"HighC2", "kembu \xC2 fw.img", Asks::Backup, "fw.img"},
    LineCase{"HighE2", "kembu \xE2 fw.img", Asks::Backup, "fw.img"},
    LineCase{"HighD2", "kembu \xD2 fw.img", Asks::Restore, "fw.img"},
    LineCase{"HighF2", "kembu \xF2 fw.img", Asks::Restore, "fw.img"}), Label);

INSTANTIATE_TEST_SUITE_P(Name, Line, ::testing::Values(
    LineCase{"SpacesBefore", "kembu b    fw.img", Asks::Backup, "fw.img"},
    LineCase{"SpacesInside", "kembu b my  fw.img", Asks::Backup, "my  fw.img"},
    LineCase{"SecondLetterBelongsToName", "kembu b r fw.img", Asks::Backup, "r fw.img"},
    LineCase{"SecondLetterBelongsToNameR", "kembu r b fw.img", Asks::Restore, "b fw.img"},
    LineCase{"SubFolder", "kembu r sub/fw.img", Asks::Restore, "sub/fw.img"}), Label);

// Windows strips trailing spaces from file names itself. Linux file names may
// hold control bytes, which end the line that kembu joins from its
// arguments, and may begin with spaces, which the scan skips: a name cut
// short either way could be another file's, so it is refused. Spaces before
// the name's own argument, or between the letter and the name in one
// argument, are no part of a name.
INSTANTIATE_TEST_SUITE_P(LinuxOnly, Line, ::testing::Values(
    LineCase{"SpacesAfterName", "kembu b fw.img  ", Asks::Backup, "fw.img  "},
    LineCase{"TabInsideName", "kembu r fw.img\tnew", Asks::Refused, "fw.img\tnew"},
    LineCase{"LineFeedAtEnd", "kembu b fw.img\n", Asks::Refused, "fw.img\n"},
    LineCase{"ControlByteFirst", "kembu b \x01" "fw.img", Asks::Refused, "\x01" "fw.img"},
    LineCase{"ControlByteInLaterArgument", "kembu r my fw.img x\ty", Asks::Refused,
             "my fw.img x"},
    LineCase{"SpacesBeginNameArgument", "kembu r '  fw.img'", Asks::Refused, "fw.img"},
    LineCase{"SpaceBeginsNameArgument", "kembu b ' fw.img'", Asks::Refused, "fw.img"},
    LineCase{"EmptyWordBeforeName", "kembu r '' fw.img", Asks::Restore, "fw.img"},
    LineCase{"SpaceOnlyWordBeforeName", "kembu r ' ' fw.img", Asks::Restore, "fw.img"},
    LineCase{"LetterAndNameInOneWord", "kembu 'r  fw.img'", Asks::Restore, "fw.img"},
    LineCase{"SpaceBeforeLetterInOneWord", "kembu ' b fw.img'", Asks::Backup, "fw.img"}),
    Label);

// The scan starts at the first space, which may be inside the program's path.
// No Windows file name holds a control character or a quotation mark: the
// line ends at the one, and the other may only enclose the whole name.
INSTANTIATE_TEST_SUITE_P(WindowsOnly, Line, ::testing::Values(
    LineCase{"TabEndsLine", "kembu b fw.img\tother.img", Asks::Backup, "fw.img"},
    LineCase{"Quoted", "kembu b \"fw.img\"", Asks::Backup, "fw.img"},
    LineCase{"QuotedWithSpace", "kembu r \"my fw.img\"", Asks::Restore, "my fw.img"},
    LineCase{"QuotedThenSpaces", "kembu -b \"my fw.img\"  ", Asks::Backup, "my fw.img"},
    LineCase{"QuotedAbsolutePath", "kembu r \"<dir>\\fw files\\fw.img\"", Asks::Restore,
             "fw files/fw.img"},
    LineCase{"DeviceNamespacePath", "kembu r \\\\.\\<dir>\\fw.img", Asks::Restore, "fw.img"},
    LineCase{"LiteralDevicePath", "kembu b \\\\?\\<dir>\\fw.img", Asks::Backup, "fw.img"},
    LineCase{"QuoteNeverClosed", "kembu b \"fw.img", Asks::Refused, nullptr},
    LineCase{"TextAfterClosingQuote", "kembu r \"fw.img\"x", Asks::Refused, nullptr},
    LineCase{"QuoteInsideName", "kembu b fw\".img", Asks::Refused, nullptr},
    LineCase{"DoubledQuotes", "kembu r \"\"fw.img\"\"", Asks::Refused, nullptr},
    LineCase{"PathWithoutLetter", "C:\\my tools\\kembu.exe fw.img", Asks::Usage, nullptr},
    LineCase{"PathWordEndsInB", "C:\\my lab tools\\kembu.exe fw.img", Asks::Backup,
             "tools/kembu.exe fw.img"},
    LineCase{"PathWordEndsInR", "C:\\apps for tools\\kembu.exe fw.img", Asks::Restore,
             "tools/kembu.exe fw.img"}), Label);

using Names = E2eTest;

// Lines whose name opens nothing: a backup has already removed KEMBU.BIN, a
// restore leaves everything as it was.
TEST_F(Names, NameThatOpensNothing) {
  // Windows' device names too: kembu opens only files on a disk, and neither
  // waits on a port or console nor reads the null device, nor reads or writes
  // a volume. Wine serves a plain file as volume Y:, here a valid image that
  // a restore would change. On Linux they are just names of missing files.
  const char* quoted = UnderWine() ? "\"\"" : "\"fw.img\"";  // quotes belong to Linux names
  Put("volume.img", MakeImage(600, 3));
  const std::string prefix = UnderWine() ? getenv("WINEPREFIX") : "";
  const std::string volume = prefix + "/dosdevices/y::";
  if (UnderWine()) {
    unlink(volume.c_str());  // one a stopped run left
    ASSERT_EQ(symlink(Path("volume.img").c_str(), volume.c_str()), 0);
  }
  for (const char* name : {"", "   ", quoted, "missing.img", "NUL", "nul.img", "AUX", "COM1", "CON",
                           "\\\\.\\Y:", "\\\\?\\Y:", "//./y:", "\\??\\Y:",
                           "\\\\.\\Z:\\..\\Y:"}) {
    for (const char letter : {'b', 'r'}) {
      const std::string line = std::string("kembu ") + letter + " " + name;
      SCOPED_TRACE(line);
      Put("fw.img", MakeImage(600, 1));
      Put("KEMBU.BIN", Pattern(kBodySize, 2));
      Files expected = Snapshot();
      RunOptions soon;
      soon.seconds = 5;  // a run that waits on a device fails, and does not hold up the rest
      EXPECT_EQ(Run(line, soon), Said("Error opening input file!"));
      if (letter == 'b') expected.erase("KEMBU.BIN");
      ExpectFiles(expected);
    }
  }
  if (UnderWine()) unlink(volume.c_str());
}

// No path component is longer than a file system allows.
const std::string kName299 =
    std::string(120, 'd') + "/" + std::string(120, 'e') + "/" + std::string(57, 'f');

// Refused, never cut to 299 bytes (a file of that name is there to catch a
// cut) nor taken whole.
TEST_F(Names, NameOf300BytesIsRefused) {
  Put(kName299, MakeImage(600, 1));
  Put(kName299 + "g", MakeImage(600, 2));
  Put("KEMBU.BIN", Pattern(kBodySize, 3));
  const Files before = Snapshot();
  for (const char* op : {"kembu b ", "kembu r "}) {
    EXPECT_EQ(Run(op + kName299 + "g"), Said("Image name too long!")) << op;
    ExpectFiles(before);
  }
}

// Windows' ANSI file functions stop at 260 bytes, well below the name field.
TEST_F(LinuxOnly, NameOf299BytesIsTakenWhole) {
  ASSERT_EQ(kName299.size(), 299u);
  const Bytes image = MakeImage(600, 1);
  Put(kName299, image);
  EXPECT_EQ(Run("kembu b " + kName299), Said("Backup Ok!"));
  ExpectFiles({{kName299, image}, {kName299.substr(0, 120), "<dir>"},
               {kName299.substr(0, 241), "<dir>"}, {"KEMBU.BIN", Body(image)}});
}

}  // namespace
