// Image names with characters beyond the ANSI code page. Windows gives
// kembu.exe its command line in that code page, with a look-alike or '?' for
// each character the code page lacks: kembu.exe must refuse such a name and
// touch nothing, never open the look-alike. On Linux names are bytes, and the
// very file named is used. The lines go to kembu.exe as UTF-16, as typed.
#include <filesystem>
#include <vector>

#include "harness.h"

namespace {

struct NameCase {
  const char* what;
  std::string name;  // UTF-8
};

// Each names a file of its own, next to the files its look-alike would open
// on Windows with code page 1252.
const NameCase kNamesBeyondCodePage[] = {
    {"fullwidth solidus, would open sub/fw.img", "sub\uFF0Ffw.img"},
    {"fullwidth letters, would open fw.img", "\uFF46\uFF57.img"},
    {"ideographic space at the end, would open fw.img", "fw.img\u3000"},
    {"ideographic space in front, would open fw.img", "\u3000fw.img"},
    {"no look-alike at all, would open ?.img", "\u4E2D.img"},
};

class NamesBeyondCodePage : public E2eTest {
 protected:
  // fw.img and sub/fw.img, the file the case names, and a saved body.
  Files Lay(const std::string& named) {
    Files files = {{"fw.img", MakeImage(700, 1)},
                   {"sub", "<dir>"},
                   {"sub/fw.img", MakeImage(800, 2)},
                   {named, MakeImage(900, 3)},
                   {"KEMBU.BIN", Body(MakeImage(512, 4))}};
    for (const auto& [name, bytes] : files) {
      if (bytes != "<dir>") Put(name, bytes);
    }
    return files;
  }

  const RunOptions typed_ = {{}, {}, "", true};
};

TEST_F(NamesBeyondCodePage, AreRefusedOnWindowsAndUsedAsTheyAreOnLinux) {
  for (const NameCase& c : kNamesBeyondCodePage) {
    SCOPED_TRACE(c.what);
    TearDown();
    SetUp();
    Files files = Lay(c.name);
    if (UnderWine()) {
      for (const char* operation : {"b", "r"}) {
        EXPECT_EQ(Run(std::string("kembu ") + operation + " " + c.name, typed_),
                  Said("Image name has unsupported characters!"))
            << operation;
        ExpectFiles(files);
      }
    } else {
      EXPECT_EQ(Run("kembu r " + c.name, typed_), Said("Restore Ok!"));
      files[c.name] = Restored(files[c.name], files["KEMBU.BIN"]);
      ExpectFiles(files);
      EXPECT_EQ(Run("kembu b " + c.name, typed_), Said("Backup Ok!"));
      files["KEMBU.BIN"] = Body(files[c.name]);
      ExpectFiles(files);
    }
  }
}

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
// refused.
struct CodePage {
  const char* locale;
  std::vector<std::string> held;
  std::vector<std::string> lacked;
};

TEST_F(NamesBeyondCodePage, DoubleByteCodePagesWindowsOnly) {
  const CodePage codePages[] = {
      {"ja_JP.UTF-8", {"\u8868.img", "\uFF71.img"}, {"sub\u00A5fw.img", "\uD55C.img"}},  // 932
      {"zh_CN.UTF-8", {"\u4E2D.img", "\u00E9.img"}, {"sub\u00A5fw.img", "\uFF71.img"}},  // 936
      {"ko_KR.UTF-8", {"\uD55C.img", "\u4E2D.img"}, {"\u00E9.img", "\uFF71.img"}},       // 949
      {"zh_TW.UTF-8", {"\u8A31.img", "\u4E2D.img"}, {"\uD55C.img", "\u00E9.img"}},       // 950
  };
  for (const CodePage& codePage : codePages) {
    SCOPED_TRACE(codePage.locale);
    RunOptions typed = typed_;
    typed.locale = codePage.locale;
    for (const std::string& name : codePage.lacked) {
      SCOPED_TRACE(name);
      TearDown();
      SetUp();
      const Files files = Lay(name);
      for (const char* operation : {"b", "r"}) {
        EXPECT_EQ(Run(std::string("kembu ") + operation + " " + name, typed),
                  Said("Image name has unsupported characters!"));
        ExpectFiles(files);
      }
    }
    for (const std::string& name : codePage.held) {
      SCOPED_TRACE(name);
      TearDown();
      SetUp();
      Files files = Lay(name);
      EXPECT_EQ(Run("kembu b " + name, typed), Said("Backup Ok!"));
      files["KEMBU.BIN"] = Body(files[name]);
      ExpectFiles(files);
    }
  }
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
