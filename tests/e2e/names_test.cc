// Image names with characters beyond the ANSI code page. Windows gives
// kembu.exe its command line in that code page, with a look-alike or '?' for
// each character the code page lacks: kembu.exe must refuse such a name and
// touch nothing, never open the look-alike. On Linux names are bytes, and the
// very file named is used. The lines go to kembu.exe as UTF-16, as typed.
#include <filesystem>
#include <vector>

#include "harness.h"

namespace {

// Each names a file of its own, next to the files its look-alike would open
// on Windows. Where the code page lacks a character of the name, kembu.exe
// refuses it; the names it holds work, also those with a second byte of 0x5C
// (a backslash) on double-byte code pages. On Linux every name works.
struct NameRow {
  const char* locale;  // gives Wine its ANSI code page
  const char* name;
  bool held;  // by the code page
};

void PrintTo(const NameRow& row, std::ostream* out) { *out << row.locale << " " << row.name; }

const NameRow kNamesBeyond1252[] = {
    {"C.UTF-8", "sub\uFF0Ffw.img", false},  // fullwidth solidus, would open sub/fw.img
    {"C.UTF-8", "\uFF46\uFF57.img", false},  // fullwidth letters, would open fw.img
    {"C.UTF-8", "fw.img\u3000", false},  // ideographic space at the end, would open fw.img
    {"C.UTF-8", "\u3000fw.img", false},  // ideographic space in front, would open fw.img
    {"C.UTF-8", "\u4E2D.img", false},  // no look-alike at all, would open ?.img
};

const NameRow kNamesOnDoubleByteCodePages[] = {
    {"ja_JP.UTF-8", "\u8868.img", true}, {"ja_JP.UTF-8", "\uFF71.img", true},  // 932
    {"ja_JP.UTF-8", "sub\u00A5fw.img", false}, {"ja_JP.UTF-8", "\uD55C.img", false},
    {"zh_CN.UTF-8", "\u4E2D.img", true}, {"zh_CN.UTF-8", "\u00E9.img", true},  // 936
    {"zh_CN.UTF-8", "sub\u00A5fw.img", false}, {"zh_CN.UTF-8", "\uFF71.img", false},
    {"ko_KR.UTF-8", "\uD55C.img", true}, {"ko_KR.UTF-8", "\u4E2D.img", true},  // 949
    {"ko_KR.UTF-8", "\u00E9.img", false}, {"ko_KR.UTF-8", "\uFF71.img", false},
    {"zh_TW.UTF-8", "\u8A31.img", true}, {"zh_TW.UTF-8", "\u4E2D.img", true},  // 950
    {"zh_TW.UTF-8", "\uD55C.img", false}, {"zh_TW.UTF-8", "\u00E9.img", false},
};

class NamesBeyondCodePage : public E2eTest {
 protected:
  // fw.img and sub/fw.img, the file the case names, and a saved body.
  Files Lay(const std::string& named) {
    const Files files = {{"fw.img", MakeImage(700, 1)}, {"sub", "<dir>"},
                         {"sub/fw.img", MakeImage(800, 2)}, {named, MakeImage(900, 3)},
                         {"KEMBU.BIN", Body(MakeImage(512, 4))}};
    E2eTest::Lay(files);
    return files;
  }

  // Both operations refuse the name with `message` and change nothing.
  void ExpectRefused(const std::string& name, const RunOptions& options, const char* message,
                     const Files& files) {
    for (const char* op : {"b", "r"}) {
      EXPECT_EQ(Run(std::string("kembu ") + op + " " + name, options), Said(message)) << op;
      ExpectFiles(files);
    }
  }

  const RunOptions typed_ = {{}, {}, "", true};
};

class NameBeyondCodePage : public NamesBeyondCodePage,
                           public ::testing::WithParamInterface<NameRow> {};

TEST_P(NameBeyondCodePage, IsTakenWhereTheCodePageHoldsIt) {
  const NameRow& row = GetParam();
  const std::string name = row.name;
  RunOptions typed = typed_;
  typed.locale = row.locale;
  Files files = Lay(name);
  if (UnderWine() && !row.held) {
    return ExpectRefused(name, typed, "Image name has unsupported characters!", files);
  }
  EXPECT_EQ(Run("kembu r " + name, typed), Said("Restore Ok!"));
  files[name] = Restored(files[name], files["KEMBU.BIN"]);
  ExpectFiles(files);
  EXPECT_EQ(Run("kembu b " + name, typed), Said("Backup Ok!"));
  files["KEMBU.BIN"] = Body(files[name]);
  ExpectFiles(files);
}

INSTANTIATE_TEST_SUITE_P(Names, NameBeyondCodePage, ::testing::ValuesIn(kNamesBeyond1252));
INSTANTIATE_TEST_SUITE_P(CodePagesWindowsOnly, NameBeyondCodePage,
                         ::testing::ValuesIn(kNamesOnDoubleByteCodePages));

// 300 characters are too many before they are unsupported ones.
TEST_F(NamesBeyondCodePage, TooLongIsSaidFirst) {
  std::string name;
  for (int i = 0; i < 296; ++i) name += "\uFF46";  // one byte each in code page 1252
  name += ".img";
  ExpectRefused(name, typed_, "Image name too long!", Lay("sub\uFF0Ffw.img"));
}

// Only the image name counts: a program kept in a folder whose name the code
// page lacks still works, and so does a name the code page holds.
TEST_F(NamesBeyondCodePage, InProgramPathOnlyOrNoneAtAllWork) {
  namespace fs = std::filesystem;
  const std::string program = Path("\u5DE5\u5177/" + fs::path(ProgramPath()).filename().string());
  fs::create_directories(fs::path(program).parent_path());
  fs::copy_file(ProgramPath(), program);
  RunOptions fromThere = typed_;
  fromThere.program = program;
  const std::string line = UnderWine() ? "Z:" + program : program;

  Files files = Snapshot();
  const Bytes image = MakeImage(1000, 5);
  for (const std::string name : {"fw.img", "caf\u00E9 \u00FC\u00DF.img"}) {
    SCOPED_TRACE(name);
    Put(name, image);
    files[name] = image;
    EXPECT_EQ(Run(line + " b " + name, fromThere), Said("Backup Ok!"));
    files["KEMBU.BIN"] = Body(image);
    ExpectFiles(files);

    const Bytes saved = Pattern(kBodySize, 6);
    Put("KEMBU.BIN", saved);
    files["KEMBU.BIN"] = saved;
    EXPECT_EQ(Run(line + " r " + name, fromThere), Said("Restore Ok!"));
    files[name] = Restored(image, saved);
    ExpectFiles(files);
  }
}

}  // namespace
