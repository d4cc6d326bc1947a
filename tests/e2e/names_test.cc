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
// on Windows with code page 1252.
const char* const kNamesBeyondCodePage[] = {
    "sub\uFF0Ffw.img",     // fullwidth solidus, would open sub/fw.img
    "\uFF46\uFF57.img",    // fullwidth letters, would open fw.img
    "fw.img\u3000",        // ideographic space at the end, would open fw.img
    "\u3000fw.img",        // ideographic space in front, would open fw.img
    "\u4E2D.img",          // no look-alike at all, would open ?.img
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

  // Both operations refuse the name and touch nothing.
  void ExpectRefused(const std::string& name, const Files& files, const RunOptions& typed) {
    for (const char* operation : {"b", "r"}) {
      EXPECT_EQ(Run(std::string("kembu ") + operation + " " + name, typed),
                Said("Image name has unsupported characters!"))
          << operation;
      ExpectFiles(files);
    }
  }

  const RunOptions typed_ = {{}, {}, "", true};
};

class NameBeyondCodePage : public NamesBeyondCodePage,
                           public ::testing::WithParamInterface<const char*> {};

TEST_P(NameBeyondCodePage, IsRefusedOnWindowsAndUsedAsItIsOnLinux) {
  const std::string name = GetParam();
  Files files = Lay(name);
  if (UnderWine()) return ExpectRefused(name, files, typed_);
  EXPECT_EQ(Run("kembu r " + name, typed_), Said("Restore Ok!"));
  files[name] = Restored(files[name], files["KEMBU.BIN"]);
  ExpectFiles(files);
  EXPECT_EQ(Run("kembu b " + name, typed_), Said("Backup Ok!"));
  files["KEMBU.BIN"] = Body(files[name]);
  ExpectFiles(files);
}

INSTANTIATE_TEST_SUITE_P(Names, NameBeyondCodePage, ::testing::ValuesIn(kNamesBeyondCodePage));

// 300 characters are too many before they are unsupported ones.
TEST_F(NamesBeyondCodePage, TooLongIsSaidFirst) {
  std::string name;
  for (int i = 0; i < 296; ++i) name += "\uFF46";  // one byte each in code page 1252
  name += ".img";
  const Files files = Lay("sub\uFF0Ffw.img");
  for (const char* operation : {"b", "r"}) {
    EXPECT_EQ(Run(std::string("kembu ") + operation + " " + name, typed_),
              Said("Image name too long!"));
    ExpectFiles(files);
  }
}

// On double-byte code pages the same holds: names the code page holds work,
// also those with a second byte of 0x5C (a backslash), and the others are
// refused. The first two names of each code page are held, the others not.
struct CodePage {
  const char* locale;
  const char* names[4];
};

const CodePage kCodePages[] = {
    {"ja_JP.UTF-8", {"\u8868.img", "\uFF71.img", "sub\u00A5fw.img", "\uD55C.img"}},  // 932
    {"zh_CN.UTF-8", {"\u4E2D.img", "\u00E9.img", "sub\u00A5fw.img", "\uFF71.img"}},  // 936
    {"ko_KR.UTF-8", {"\uD55C.img", "\u4E2D.img", "\u00E9.img", "\uFF71.img"}},       // 949
    {"zh_TW.UTF-8", {"\u8A31.img", "\u4E2D.img", "\uD55C.img", "\u00E9.img"}},       // 950
};

void PrintTo(const CodePage& codePage, std::ostream* out) { *out << codePage.locale; }

class DoubleByteCodePageWindowsOnly
    : public NamesBeyondCodePage,
      public ::testing::WithParamInterface<std::tuple<CodePage, int>> {};

TEST_P(DoubleByteCodePageWindowsOnly, TakesTheNamesItHoldsOnly) {
  const auto& [codePage, index] = GetParam();
  const std::string name = codePage.names[index];
  RunOptions typed = typed_;
  typed.locale = codePage.locale;
  Files files = Lay(name);
  if (index >= 2) return ExpectRefused(name, files, typed);
  EXPECT_EQ(Run("kembu b " + name, typed), Said("Backup Ok!"));
  files["KEMBU.BIN"] = Body(files[name]);
  ExpectFiles(files);
}

INSTANTIATE_TEST_SUITE_P(
    CodePages, DoubleByteCodePageWindowsOnly,
    ::testing::Combine(::testing::ValuesIn(kCodePages), ::testing::Range(0, 4)),
    [](const auto& info) {
      return std::string(std::get<0>(info.param).locale, 5) + "_" +
             std::to_string(std::get<1>(info.param));
    });

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
