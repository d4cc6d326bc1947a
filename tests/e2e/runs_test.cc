// Single runs on real files, one row each: the files laid out, the line run,
// what kembu says and what it leaves on disk.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "../command_lines.h"
#include "harness.h"

namespace {

namespace fs = std::filesystem;

// How the files after the run differ from those before it.
using Change = std::function<void(Files&)>;
const Change kSame = [](Files&) {};
const Change kSaved = [](Files& files) { files["KEMBU.BIN"] = Body(files["fw.img"]); };
const Change kDropped = [](Files& files) { files.erase("KEMBU.BIN"); };
const Change kRestored = [](Files& f) { f["fw.img"] = Restored(f["fw.img"], f["KEMBU.BIN"]); };
Change Set(const std::string& name, const Bytes& bytes) {
  return [=](Files& files) { files[name] = bytes; };
}

// More to set up once the files are laid out (modes, links, holders), given
// the test directory; returns what to do once the run has ended, if anything.
using Afterwards = std::function<void()>;
using Prepare = std::function<Afterwards(const std::string& dir, RunOptions& options)>;

struct Row {
  std::string name;
  Files setup;
  std::string line;
  const char* message;  // after the banner; nullptr: the usage text; "": nothing printed
  Change after;
  RunOptions options = {};
  Prepare prepare = {};
};

void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

class SingleRun : public E2eTest, public ::testing::WithParamInterface<Row> {};

// A message of "A|B" allows either.
TEST_P(SingleRun, SaysAndLeaves) {
  const Row& row = GetParam();
  Lay(row.setup);
  RunOptions options = row.options;
  const Afterwards afterwards = row.prepare ? row.prepare(dir_, options) : Afterwards();
  // A row about a device (it lays out disk.img) needs the link to one.
  std::error_code noLink;
  if (row.setup.count("disk.img") && !fs::is_symlink(Path("dev.img"), noLink)) {
    GTEST_SKIP() << "skipped: no loop device could be made here (needs root and loop devices)";
  }
  Files expected = Snapshot();
  std::string line = row.line;
  const size_t at = line.find("<dir>");  // the test directory, as an absolute Windows path
  if (at != std::string::npos) line.replace(at, 5, WindowsPath(dir_));
  const size_t dev = line.find("<dev>");  // the device dev.img links to, by its own path
  if (dev != std::string::npos) {
    line.replace(dev, 5, WindowsPath(fs::read_symlink(Path("dev.img"))));
  }
  const Bytes out = Run(line, options);
  if (afterwards) afterwards();
  const std::string message = row.message ? row.message : "";
  const size_t bar = message.find('|');
  const Bytes said = !row.message ? Usage() : message.empty() ? "" : Said(message.substr(0, bar));
  const Bytes either = bar == std::string::npos ? said : Said(message.substr(bar + 1));
  EXPECT_EQ(out, out == either ? either : said);
  row.after(expected);
  ExpectFiles(expected);
}

std::string Name(const ::testing::TestParamInfo<Row>& info) { return info.param.name; }

const Bytes kImage = MakeImage(600, 1), kLong = MakeImage(3000, 1), kSavedBody = Pattern(490, 2);
const Bytes kOld = Pattern(700, 2);  // an older, longer KEMBU.BIN
const Bytes kShort = Pattern(100, 4);  // no image at all
const Bytes kNone = "<none>";
const std::string kB = "kembu b fw.img", kR = "kembu r fw.img";
const char kImg[] = "fw.img", kBin[] = "KEMBU.BIN";

// fw.img and KEMBU.BIN, either of them kNone.
Files Disk(const Bytes& image, const Bytes& backup = kNone) {
  Files files;
  if (image != kNone) files[kImg] = image;
  if (backup != kNone) files[kBin] = backup;
  return files;
}

const RunOptions kAsNobody = [] {
  RunOptions options;
  options.asNobody = true;
  return options;
}();
RunOptions Limited(long bytes) {
  RunOptions options = {[bytes] { LimitFileSize(bytes); }, {}};
  options.serverFirst = true;
  return options;
}

// Makes the named files read-only or writable for all, or the test directory
// (".") one nobody can change; a file named `nobodys` becomes nobody's own.
Prepare Modes(std::vector<std::pair<std::string, mode_t>> modes, const char* nobodys = nullptr) {
  return [=](const std::string& dir, RunOptions&) -> Afterwards {
    for (const auto& [name, mode] : modes) EXPECT_EQ(chmod((dir + "/" + name).c_str(), mode), 0);
    if (nobodys) {
      EXPECT_EQ(chown((dir + "/" + nobodys).c_str(), 65534, 65534), 0);
    }
    return {};
  };
}

// An older, longer KEMBU.BIN is replaced whole by a backup; a failed one
// leaves none behind.
INSTANTIATE_TEST_SUITE_P(Backup, SingleRun, ::testing::Values(
    Row{"Valid", Disk(kLong, kOld), kB, "Backup Ok!", kSaved},
    Row{"Exactly512Bytes", Disk(MakeImage(512, 1), kOld), kB, "Backup Ok!", kSaved},
    Row{"Only511Bytes", Disk(MakeImage(511, 1), kOld), kB, "Error reading input file!", kDropped},
    Row{"Empty", Disk("", kOld), kB, "Error reading input file!", kDropped},
    Row{"Missing", Disk(kNone, kOld), kB, "Error opening input file!", kDropped},
    Row{"BadChecksum", Disk(MakeImage(3000, 1, false), kOld), kB, "Bad checksum in input file!",
        kDropped},
    // With no KEMBU.BIN the identity check passes and each run goes its way.
    Row{"OfBackupFileNameWithNoBackupFile", Disk(kImage), "kembu b KEMBU.BIN",
        "Error opening input file!", kSame},
    Row{"WithNoBackupFile", Disk(kImage), kB, "Backup Ok!", kSaved},
    Row{"BackupFileThatIsAFolder", Disk(kImage, "<dir>"), kB, "Error creating KEMBU.BIN!", kSame},
    // A folder is no image: it cannot be opened as one, and is never read.
    Row{"ImageThatIsAFolder", Disk("<dir>", kSavedBody), kB, "Error opening input file!", kDropped},
    // A file size limit cuts the write short, as a full disk would; what was
    // written is deleted again.
    Row{"ShortWrite", Disk(kLong), kB, "Error writing KEMBU.BIN!", kSame, Limited(100)},
    // The user's own KEMBU.BIN that cannot be deleted is emptied, so even a
    // failed backup leaves no older body behind, and then reused.
    Row{"BackupFileThatCannotBeDeletedFails", Disk(kImage, kOld), "kembu b missing.img",
        "Error opening input file!", Set("KEMBU.BIN", ""), kAsNobody,
        Modes({{"KEMBU.BIN", 0666}, {".", 0555}}, kBin)},
    Row{"BackupFileThatCannotBeDeletedIsReused", Disk(kImage, kOld), kB, "Backup Ok!", kSaved,
        kAsNobody, Modes({{"KEMBU.BIN", 0666}, {".", 0555}}, kBin)}), Name);

// KEMBU.BIN is never changed; the image only on success, and then only in its
// first 512 bytes.
INSTANTIATE_TEST_SUITE_P(Restore, SingleRun, ::testing::Values(
    Row{"Valid", Disk(kLong, kSavedBody), kR, "Restore Ok!", kRestored},
    Row{"Exactly512Bytes", Disk(MakeImage(512, 1), kSavedBody), kR, "Restore Ok!", kRestored},
    Row{"Backup491Bytes", Disk(kLong, Pattern(491, 2)), kR, "Restore Ok!", kRestored},
    Row{"LongBackupUsesFirst490", Disk(kLong, Pattern(1000, 2)), kR, "Restore Ok!", kRestored},
    Row{"Backup489Bytes", Disk(kLong, Pattern(489, 2)), kR, "Error reading KEMBU.BIN!", kSame},
    Row{"EmptyBackup", Disk(kLong, ""), kR, "Error reading KEMBU.BIN!", kSame},
    Row{"NoBackup", Disk(kLong), kR, "Error opening KEMBU.BIN!", kSame},
    Row{"BadChecksum", Disk(MakeImage(3000, 1, false), kSavedBody), kR,
        "Bad checksum in input file!", kSame},
    Row{"Only511Bytes", Disk(MakeImage(511, 1), kSavedBody), kR, "Error reading input file!",
        kSame},
    Row{"MissingImage", Disk(kNone, kSavedBody), kR, "Error opening input file!", kSame},
    Row{"OfBackupFileNameWithNoBackupFile", Disk(kImage), "kembu r KEMBU.BIN",
        "Error opening input file!", kSame},
    Row{"ImageThatIsAFolder", Disk("<dir>", kSavedBody), kR, "Error opening input file!", kSame},
    // As root, file modes stop nobody; such runs drop to an ordinary user.
    Row{"ImageThatCannotBeWrittenTo", Disk(kImage, kSavedBody), kR, "Error opening output file!",
        kSame, kAsNobody, Modes({{"fw.img", 0444}})},
    Row{"ShortWrite", Disk(kLong, kSavedBody), kR, "Error writing output file!",
        Set("fw.img", Restored(kLong, kSavedBody).substr(0, 100) + kLong.substr(100)),
        Limited(100)}), Name);

// How the raw command line picks the operation and the image name. fw.img
// and the named file are distinct valid images and KEMBU.BIN holds a body, so
// each outcome leaves a different trace.
template <size_t size>
std::vector<Row> LineRows(const LineRow (&lines)[size]) {
  std::vector<Row> rows;
  for (const LineRow& line : lines) {
    Files setup = Disk(kImage, kSavedBody);
    const std::string name = line.name ? line.name : "";
    if (line.name) setup[name] = MakeImage(700, 3);
    const Change saved = [name](Files& files) { files[kBin] = Body(files[name]); };
    const Change restored = [name](Files& f) { f[name] = Restored(f[name], f[kBin]); };
    rows.push_back({line.label, setup, line.line,
                    line.op == 'b'   ? "Backup Ok!"
                    : line.op == 'r' ? "Restore Ok!"
                    : line.op == 'x' ? "Image name has unsupported characters!"
                                     : nullptr,
                    line.op == 'b' ? saved : line.op == 'r' ? restored : kSame});
  }
  return rows;
}

// Windows strips trailing spaces from file names itself. Linux file names may
// hold control bytes, which end the line that kembu joins from its
// arguments, and may begin with spaces, or be nothing else, which the scan
// skips: a name cut short either way could be another file's, so it is
// refused. A word in single quotes is one argument. Spaces before the name's
// own argument, or between the letter and the name in one argument, are no
// part of a name.
const LineRow kLinuxOnlyLines[] = {
    {"SpacesAfterName", "kembu b fw.img  ", 'b', "fw.img  "},
    {"TabInsideName", "kembu r fw.img\tnew", 'x', "fw.img\tnew"},
    {"LineFeedAtEnd", "kembu b fw.img\n", 'x', "fw.img\n"},
    {"ControlByteFirst", "kembu b \x01" "fw.img", 'x', "\x01" "fw.img"},
    {"ControlByteInLaterArgument", "kembu r my fw.img x\ty", 'x', "my fw.img x"},
    {"SpacesBeginNameArgument", "kembu r '  fw.img'", 'x', "fw.img"},
    {"SpaceBeginsNameArgument", "kembu b ' fw.img'", 'x', "fw.img"},
    {"NameOfOneSpace", "kembu b ' '", 'x', " "},
    {"NameOfSpaces", "kembu r '  '", 'x', "  "},
    {"NameOfSpaceWords", "kembu b ' ' ' '", 'x', nullptr},
    {"NameOfSpacesThenEmptyWord", "kembu b ' ' ''", 'x', nullptr},
    {"EmptyWordBeforeName", "kembu r '' fw.img", 'r', "fw.img"},
    {"SpaceOnlyWordBeforeName", "kembu r ' ' fw.img", 'r', "fw.img"},
    {"LetterAndNameInOneWord", "kembu 'r  fw.img'", 'r', "fw.img"},
    {"SpaceBeforeLetterInOneWord", "kembu ' b fw.img'", 'b', "fw.img"}};

// The scan starts at the first space, which may be inside the program's path.
// No Windows file name holds a control character or a quotation mark: the
// line ends at the one, and the other may only enclose the whole name.
const LineRow kWindowsOnlyLines[] = {
    {"TabEndsLine", "kembu b fw.img\tother.img", 'b', "fw.img"},
    {"Quoted", "kembu b \"fw.img\"", 'b', "fw.img"},
    {"QuotedWithSpace", "kembu r \"my fw.img\"", 'r', "my fw.img"},
    {"QuotedThenSpaces", "kembu -b \"my fw.img\"  ", 'b', "my fw.img"},
    {"QuotedAbsolutePath", "kembu r \"<dir>\\fw files\\fw.img\"", 'r', "fw files/fw.img"},
    {"DeviceNamespacePath", "kembu r \\\\.\\<dir>\\fw.img", 'r', "fw.img"},
    {"LiteralDevicePath", "kembu b \\\\?\\<dir>\\fw.img", 'b', "fw.img"},
    {"QuoteNeverClosed", "kembu b \"fw.img", 'x', nullptr},
    {"TextAfterClosingQuote", "kembu r \"fw.img\"x", 'x', nullptr},
    {"QuoteInsideName", "kembu b fw\".img", 'x', nullptr},
    {"DoubledQuotes", "kembu r \"\"fw.img\"\"", 'x', nullptr},
    {"PathWithoutLetter", "C:\\my tools\\kembu.exe fw.img", 0, nullptr},
    {"PathWordEndsInB", "C:\\my lab tools\\kembu.exe fw.img", 'b', "tools/kembu.exe fw.img"},
    {"PathWordEndsInR", "C:\\apps for tools\\kembu.exe fw.img", 'r', "tools/kembu.exe fw.img"}};

INSTANTIATE_TEST_SUITE_P(Usage, SingleRun, ::testing::ValuesIn(LineRows(kUsageLines)), Name);
INSTANTIATE_TEST_SUITE_P(Operation, SingleRun, ::testing::ValuesIn(LineRows(kOperationLines)),
                         Name);
INSTANTIATE_TEST_SUITE_P(Name, SingleRun, ::testing::ValuesIn(LineRows(kNameLines)), Name);
INSTANTIATE_TEST_SUITE_P(LinesLinuxOnly, SingleRun, ::testing::ValuesIn(LineRows(kLinuxOnlyLines)),
                         Name);
INSTANTIATE_TEST_SUITE_P(LinesWindowsOnly, SingleRun,
                         ::testing::ValuesIn(LineRows(kWindowsOnlyLines)), Name);

// KEMBU.BIN holds a valid image, so a run that took it as the image would
// succeed and change something. Or KEMBU.BIN links to the image.
std::vector<Row> BackupFileAsImage(std::vector<const char*> names, bool linkToImage = false) {
  const Prepare links = [linkToImage](const std::string& dir, RunOptions&) -> Afterwards {
    EXPECT_EQ(link((dir + "/KEMBU.BIN").c_str(), (dir + "/hard.img").c_str()), 0);
    if (linkToImage) {
      EXPECT_EQ(unlink((dir + "/KEMBU.BIN").c_str()), 0);
      EXPECT_EQ(symlink("sub/fw.img", (dir + "/KEMBU.BIN").c_str()), 0);
    }
    return {};
  };
  const Files setup = {
      {"KEMBU.BIN", kImage}, {"sub/fw.img", MakeImage(600, 2)}, {"soft.img", "-> KEMBU.BIN"}};
  std::vector<Row> rows;
  for (const std::string name : names) {
    for (const char* op : {"b", "r"}) {
      std::string label = std::string(*op == 'b' ? "Backup_" : "Restore_") + name;
      for (char& c : label) c = isalnum(static_cast<unsigned char>(c)) ? c : '_';
      rows.push_back({label, setup, std::string("kembu ") + op + " " + name,
                      "Input file is KEMBU.BIN!", kSame, {}, links});
    }
  }
  return rows;
}

INSTANTIATE_TEST_SUITE_P(BackupFileAsImage, SingleRun, ::testing::ValuesIn(BackupFileAsImage(
    {"KEMBU.BIN", "./KEMBU.BIN", "sub/../KEMBU.BIN", "hard.img", "soft.img"})), Name);
INSTANTIATE_TEST_SUITE_P(BackupFileAsImageWindowsOnly, SingleRun, ::testing::ValuesIn(
    BackupFileAsImage({".\\KEMBU.BIN", "kembu.bin", "Kembu.Bin", "sub\\..\\kembu.BIN"})), Name);
INSTANTIATE_TEST_SUITE_P(BackupFileLinkedToImage, SingleRun, ::testing::ValuesIn(
    BackupFileAsImage({"sub/fw.img"}, true)), Name);

// Wine serves a plain file as the volume of a drive letter that links to it
// in the prefix: here volume.img, a valid image that a restore would change.
// Each row takes a letter of its own, as rows run at once in one prefix.
// With `folder`, the letter links to the test directory itself and is an
// ordinary drive, as subst makes one.
Prepare Volume(char letter, bool folder = false) {
  return [=](const std::string& dir, RunOptions&) -> Afterwards {
    if (!UnderWine()) return {};
    const std::string link =
        std::string(getenv("WINEPREFIX")) + "/dosdevices/" + letter + (folder ? ":" : "::");
    unlink(link.c_str());  // one a stopped run left
    EXPECT_EQ(symlink(folder ? dir.c_str() : (dir + "/volume.img").c_str(), link.c_str()), 0);
    return [link] { unlink(link.c_str()); };
  };
}

// Lines whose name opens nothing: a backup has already removed KEMBU.BIN, a
// restore leaves everything as it was. Windows' device names too: kembu opens
// only files on a disk, and neither waits on a port or console (a run that
// waits fails after 5 s) nor reads the null device, nor reads or writes a
// volume. On Linux they are just names of missing files, and quotation marks
// belong to names.
std::vector<Row> OpensNothing() {
  RunOptions soon;
  soon.seconds = 5;
  const char* quoted = UnderWine() ? "\"\"" : "\"fw.img\"";
  std::vector<Row> rows;
  char letter = 'd';
  // The labels are the same everywhere: the tests are listed without Wine.
  for (const auto& [label, name] : std::vector<std::pair<std::string, std::string>>{
           {"Empty", ""}, {"Spaces", "   "}, {"Quoted", quoted}, {"Missing", "missing.img"},
           {"NUL", "NUL"}, {"NulImg", "nul.img"}, {"AUX", "AUX"}, {"COM1", "COM1"},
           {"CON", "CON"}, {"Volume", "\\\\.\\%:"}, {"LiteralVolume", "\\\\?\\%:"},
           {"SlashVolume", "//./%:"}, {"NtVolume", "\\??\\%:"},
           {"VolumeBehindDotDot", "\\\\.\\Z:\\..\\%:"}}) {
    for (const char* op : {"b", "r"}) {
      rows.push_back({(*op == 'b' ? "Backup" : "Restore") + label, Disk(kImage, kSavedBody),
                      std::string("kembu ") + op + " " + name, "Error opening input file!",
                      *op == 'b' ? kDropped : kSame, soon});
      Row& row = rows.back();
      const size_t at = row.line.find('%');  // a volume's drive letter
      if (at == std::string::npos) continue;
      row.setup["volume.img"] = MakeImage(600, 3);
      row.line[at] = letter;
      row.prepare = Volume(letter++);
    }
  }
  return rows;
}
INSTANTIATE_TEST_SUITE_P(NameOpensNothing, SingleRun, ::testing::ValuesIn(OpensNothing()), Name);

// A Linux block device reached from Wine, through its own path (Z:\dev\loopN,
// written <dev> in the line) or through a link to it: its handle reports a
// disk, as a file's does, yet it is no file, and kembu.exe neither reads nor
// writes it. A loop device over disk.img, whose zeroed first block passes the
// checksum, stands in for a drive. Making one needs root and loop devices;
// where the machine cannot, the row is skipped.
const Prepare kLoopDevice = [](const std::string& dir, RunOptions&) -> Afterwards {
  FILE* losetup = popen(("/sbin/losetup -f --show " + dir + "/disk.img 2>&1").c_str(), "r");
  char said[256] = "";
  const bool read = losetup && fgets(said, sizeof said, losetup);
  if (!losetup || pclose(losetup) != 0 || !read || strncmp(said, "/dev/loop", 9) != 0) {
    std::printf("no loop device: %s\n", said);
    return {};
  }
  const std::string device(said, strcspn(said, "\n"));
  EXPECT_EQ(symlink(device.c_str(), (dir + "/dev.img").c_str()), 0);
  return [device] { EXPECT_EQ(system(("/sbin/losetup -d " + device).c_str()), 0); };
};

// A pipe with a server behind it: opening it, even only to compare it with
// KEMBU.BIN, would connect to the server, as opening a port would reset the
// board behind it. The launcher serves it and fails the run if kembu.exe
// connects.
RunOptions Served(const std::string& pipe) {
  RunOptions options;
  options.pipe = pipe;
  return options;
}

// Neither operation opens the device: a backup has already removed
// KEMBU.BIN, a restore leaves everything as it was. Files on a drive letter of
// their own, as subst makes one, still work.
std::vector<Row> DeviceRows() {
  const Files disk = {{kImg, kImage}, {kBin, kSavedBody}, {"disk.img", Bytes(65536, 0)}};
  std::vector<Row> rows;
  for (const char* op : {"b", "r"}) {
    const std::string backup = *op == 'b' ? "Backup" : "Restore";
    const Change change = *op == 'b' ? kDropped : kSame;
    const std::string pipe = std::string("\\\\.\\pipe\\kembu-e2e-") + op;
    rows.push_back({backup + "OfBlockDevice", disk, std::string("kembu ") + op + " <dev>",
                    "Error opening input file!", change, {}, kLoopDevice});
    rows.push_back({backup + "OfLinkToBlockDevice", disk, std::string("kembu ") + op + " dev.img",
                    "Error opening input file!", change, {}, kLoopDevice});
    rows.push_back({backup + "OfServedPipe", Disk(kImage, kSavedBody),
                    std::string("kembu ") + op + " " + pipe, "Error opening input file!", change,
                    Served(pipe)});
    rows.push_back({backup + "OnSubstDrive", Disk(kLong, kSavedBody),
                    std::string("kembu ") + op + " " + (*op == 'b' ? "X" : "Y") + ":\\fw.img",
                    *op == 'b' ? "Backup Ok!" : "Restore Ok!", *op == 'b' ? kSaved : kRestored,
                    {}, Volume(*op == 'b' ? 'x' : 'y', true)});
  }
  return rows;
}
INSTANTIATE_TEST_SUITE_P(DevicesWindowsOnly, SingleRun, ::testing::ValuesIn(DeviceRows()), Name);

// No path component is longer than a file system allows. A name of 300 bytes
// is refused, never cut to 299 bytes (a file of that name is there to catch a
// cut) nor taken whole. Windows' ANSI file functions stop at 260 bytes, well
// below the name field, so only Linux takes one of 299.
const std::string kName299 =
    std::string(120, 'd') + "/" + std::string(120, 'e') + "/" + std::string(57, 'f');
const Files kLongNames = {{kName299, kImage}, {kName299 + "g", MakeImage(600, 2)},
                          {kBin, Pattern(kBodySize, 3)}};
INSTANTIATE_TEST_SUITE_P(NameLength, SingleRun, ::testing::Values(
    Row{"BackupOf300Bytes", kLongNames, "kembu b " + kName299 + "g", "Image name too long!", kSame},
    Row{"RestoreOf300Bytes", kLongNames, "kembu r " + kName299 + "g", "Image name too long!",
        kSame}), Name);
INSTANTIATE_TEST_SUITE_P(NameLengthLinuxOnly, SingleRun, ::testing::Values(
    Row{"BackupOf299Bytes", {{kName299, kImage}}, "kembu b " + kName299, "Backup Ok!",
        Set(kBin, Body(kImage))}), Name);

// Locks beside flock's LOCK_EX and LOCK_SH: POSIX record locks (fcntl,
// lockf) and open-file-description locks, for writing or reading.
const int POSIX_WRITE = 0x100, POSIX_READ = 0x101, OFD_WRITE = 0x102, OFD_READ = 0x103;

std::string LockName(int lock) {
  return lock == LOCK_EX       ? "Held"
         : lock == LOCK_SH     ? "LockedShared"
         : lock == POSIX_WRITE ? "PosixWriteLocked"
         : lock == POSIX_READ  ? "PosixReadLocked"
         : lock == OFD_WRITE   ? "OfdWriteLocked"
                               : "OfdReadLocked";
}

// Takes the lock without waiting.
bool Lock(int fd, int lock) {
  if (lock == LOCK_EX || lock == LOCK_SH) return flock(fd, lock | LOCK_NB) == 0;
  struct flock range = {};
  range.l_type = lock == POSIX_WRITE || lock == OFD_WRITE ? F_WRLCK : F_RDLCK;
  range.l_whence = SEEK_SET;
  return fcntl(fd, lock == POSIX_WRITE || lock == POSIX_READ ? F_SETLK : F_OFD_SETLK, &range) == 0;
}

// Opens the file and locks it in a process of its own, which holds the lock
// until `release` is closed: a POSIX lock belongs to a process and goes with
// any close of the file there, as the test's own reads would. Returns its id.
pid_t HoldInChild(const std::string& path, int lock, int* release) {
  int ready[2], ends[2];
  if (pipe2(ready, O_CLOEXEC) != 0 || pipe2(ends, O_CLOEXEC) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    close(ready[0]);
    close(ends[1]);
    const int fd = open(path.c_str(), O_RDWR);
    char done = Lock(fd, lock) ? 1 : 0;
    if (write(ready[1], &done, 1) == 1) done = read(ends[0], &done, 1);  // until closed
    _exit(0);
  }
  close(ready[1]);
  close(ends[0]);
  char locked = 0;
  EXPECT_TRUE(read(ready[0], &locked, 1) == 1 && locked) << path;
  close(ready[0]);
  *release = ends[1];
  return pid;
}

// A file another program holds counts as one that cannot be opened. On Linux
// the holder locks it, with flock, a POSIX record lock or an
// open-file-description lock, and a backup leaves such a KEMBU.BIN alone; a
// read lock of the last two still lets kembu read the file, never write or
// delete it. On Windows it is a viewer that keeps the file open for reading
// and shares every access, which share mode 0 still refuses; since it shares
// deletion too, the backup's delete takes KEMBU.BIN once it lets go. With
// `both`, fw.img and KEMBU.BIN are held.
Prepare Held(const char* name, int lock, bool both = false) {
  return [=](const std::string& dir, RunOptions& options) -> Afterwards {
    if (UnderWine()) {
      options.hold = name;
      return {};
    }
    std::vector<std::pair<pid_t, int>> holders;
    for (const std::string held : {kImg, kBin}) {
      int release = -1;
      if (both || held == name) holders.push_back({HoldInChild(dir + "/" + held, lock, &release),
                                                   release});
    }
    return [holders] {
      for (const auto& holder : holders) close(holder.second);
      for (const auto& holder : holders) waitpid(holder.first, nullptr, 0);
    };
  };
}
std::vector<Row> HeldRows(std::vector<int> locks) {
  const Files files = Disk(kImage, kSavedBody);
  const Change droppedOnWindows = [](Files& files) {
    if (UnderWine()) files.erase(kBin);
  };
  std::vector<Row> rows;
  for (const int lock : locks) {
    const std::string how = LockName(lock);
    // Whether the holder lets kembu read the file: a read lock does, where
    // kembu's exclusive flock of a file open for reading is no write lock
    // too, as it is on NFS 3 with locks; on NFS 4, which gives that file only
    // a shared flock, so does a shared flock.
    const bool read = NfsMount() != "v3" &&
                      (lock == POSIX_READ || lock == OFD_READ || (lock == LOCK_SH && NfsV4()));
    const Prepare image = Held(kImg, lock), backup = Held(kBin, lock);
    rows.push_back({"Image" + how, files, kB, read ? "Backup Ok!" : "Error opening input file!",
                    read ? kSaved : kDropped, {}, image});
    rows.push_back({"Image" + how + "Restore", files, kR,
                    read ? "Error opening output file!" : "Error opening input file!", kSame, {},
                    image});
    rows.push_back({"BackupFile" + how + "Restore", files, kR,
                    read ? "Restore Ok!" : "Error opening KEMBU.BIN!", read ? kRestored : kSame,
                    {}, backup});
    rows.push_back({"BackupFile" + how, files, kB, "Error creating KEMBU.BIN!",
                    read ? kSame : droppedOnWindows, {}, backup});
  }
  return rows;
}
INSTANTIATE_TEST_SUITE_P(Held, SingleRun, ::testing::ValuesIn(HeldRows({LOCK_EX})), Name);
INSTANTIATE_TEST_SUITE_P(HeldLinuxOnly, SingleRun, ::testing::ValuesIn(HeldRows(
    {LOCK_SH, POSIX_WRITE, POSIX_READ, OFD_WRITE, OFD_READ})), Name);

// NFS carries out flock as a POSIX lock of the whole file, held by kembu's
// own process: played by a preloaded shim, which reaches only the dynamic
// program. The static ones meet the shared-lock fallback instead.
const Prepare kNfsLocks = [](const std::string&, RunOptions& options) -> Afterwards {
  const std::vector<std::string> preload = {"/usr/bin/env", "LD_PRELOAD=" KEMBU_E2E_NFS_FLOCK};
  options.wrapper = ProgramPath() == KEMBU_E2E_DYNAMIC_PROGRAM
                        ? preload : FailCall(SYS_flock, EBADF, 1, LOCK_EX);
  return {};
};

// A wrapper that fails a backup's second fsync, its folder's, with `error`.
std::vector<std::string> FolderFlushFails(const char* error) {
  return {"/usr/bin/strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=fsync",
          "-e", std::string("inject=fsync:error=") + error + ":when=2"};
}

// Network file systems fail locks that a local disk grants: NFS refuses an
// exclusive lock on a file open for reading (EBADF), and without its lock
// service every lock and lock test (ENOLCK). kembu then locks shared, or not
// at all, and both operations work; a lock another process holds still
// refuses the image, and a shared one still keeps its KEMBU.BIN from being
// deleted, also where flock is a POSIX lock of kembu's own, which must never
// keep kembu out. Neither a folder that cannot be opened nor one that cannot
// be flushed costs the backup.
std::vector<Row> FileSystemRows() {
  const Bytes repacked = MakeImage(2000, 2);
  const std::pair<const char*, std::vector<std::string>> wrappers[] = {
      {"ExclusiveLockRefused", FailCall(SYS_flock, EBADF, 1, LOCK_EX)},
      {"NoLocks", FailCall(SYS_flock, ENOLCK)},
      {"NoLockTests", FailCall(SYS_fcntl, ENOLCK, 1, F_GETLK & ~F_GETFD)},  // not the start's
      {"FolderCannotBeOpened", FailCall(SYS_openat, EACCES, 2, O_DIRECTORY)},
      {"FolderCannotBeFlushed", FolderFlushFails("EINVAL")},
      // A file system that takes no locks of a kind may say EINVAL; so does a
      // kernel older than 3.15 for open-file-description locks.
      {"FlockInvalid", FailCall(SYS_flock, EINVAL)},
      {"RecordLocksInvalid", FailCall(SYS_fcntl, EINVAL, 1, F_GETLK & ~F_GETFD)},
      {"NoOfdLocks", FailCall(SYS_fcntl, EINVAL, 1, F_OFD_GETLK & ~F_GETLK)},
  };
  std::vector<Row> rows;
  for (const auto& [label, wrapper] : wrappers) {
    rows.push_back({std::string("Backup") + label, Disk(kLong, kSavedBody), kB, "Backup Ok!",
                    kSaved, {{}, wrapper}});
    rows.push_back({std::string("Restore") + label, Disk(repacked, Body(kLong)), kR,
                    "Restore Ok!", kRestored, {{}, wrapper}});
  }
  // A folder flush that meets an I/O error, or a full disk, fails the backup:
  // the new name might not outlast a power cut. KEMBU.BIN goes again.
  const std::pair<const char*, std::vector<std::string>> failing[] = {
      {"FolderCannotBeOpenedForAnIoError", FailCall(SYS_openat, EIO, 2, O_DIRECTORY)},
      {"FolderFlushMeetsAnIoError", FolderFlushFails("EIO")},
      {"FolderFlushFindsTheDiskFull", FolderFlushFails("ENOSPC")},
  };
  for (const auto& [label, wrapper] : failing) {
    rows.push_back({std::string("Backup") + label, Disk(kLong, kSavedBody), kB,
                    "Error writing KEMBU.BIN!", kDropped, {{}, wrapper}});
  }
  // A file another process locks still counts as held: with the shared lock
  // NFS leaves kembu, and with POSIX locks in place of open-file-description
  // ones.
  rows.push_back({"ImageLockedWhenExclusiveLockRefused", Disk(repacked, Body(kLong)), kR,
                  "Error opening input file!", kSame, {{}, wrappers[0].second},
                  Held(kImg, LOCK_EX)});
  rows.push_back({"ImageLockedWithoutOfdLocks", Disk(repacked, Body(kLong)), kR,
                  "Error opening input file!", kSame, {{}, std::end(wrappers)[-1].second},
                  Held(kImg, POSIX_WRITE)});
  rows.push_back({"BackupNfsLocks", Disk(kLong, kSavedBody), kB, "Backup Ok!", kSaved, {},
                  kNfsLocks});
  rows.push_back({"RestoreNfsLocks", Disk(repacked, Body(kLong)), kR, "Restore Ok!", kRestored,
                  {}, kNfsLocks});
  const Prepare readLockedNfs = [](const std::string& dir, RunOptions& options) {
    kNfsLocks(dir, options);  // sets only the wrapper
    return Held(kBin, POSIX_READ)(dir, options);
  };
  rows.push_back({"BackupFileReadLockedNfs", Disk(kLong, kSavedBody), kB,
                  "Error creating KEMBU.BIN!", kSame, {}, readLockedNfs});
  return rows;
}
INSTANTIATE_TEST_SUITE_P(FileSystemsLinuxOnly, SingleRun, ::testing::ValuesIn(FileSystemRows()),
                         Name);

// A KEMBU.BIN that cannot be deleted and is no regular file must never get
// the body: a FIFO with a reader would take it and pass for a backup.
const Prepare kFifoWithReader = [](const std::string& dir, RunOptions&) -> Afterwards {
  EXPECT_EQ(chmod((dir + "/KEMBU.BIN").c_str(), 0666), 0);
  const int reader = open((dir + "/KEMBU.BIN").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  EXPECT_NE(reader, -1);
  EXPECT_EQ(chmod(dir.c_str(), 0555), 0);
  return [reader] {
    char got[kBodySize];
    EXPECT_LE(read(reader, got, sizeof got), 0) << "bytes reached the FIFO";
    close(reader);
  };
};

// Where strace holds a run back: a file of the test directory and what to do
// at its calls, as strace's inject= says it ("read:delay_enter=1000000").
// strace knows a file by its full path in calls on a descriptor, and by the
// path as given in calls that take one, so it gets both.
using Delays = std::vector<std::pair<const char*, std::string>>;
Delays Second(const char* file, const std::string& calls) {
  return {{file, calls + ":delay_enter=1000000"}};
}
std::vector<std::string> SlowedDown(const std::string& dir, const Delays& delays) {
  std::vector<std::string> strace = {"/usr/bin/strace", "-f", "--quiet=all", "-o", "/dev/null"};
  for (const auto& [file, inject] : delays) {
    strace.insert(strace.end(), {"-P", file, "-P", dir + "/" + file, "-e", "inject=" + inject});
  }
  return strace;
}

// Holds kembu back as `delays` say, and meanwhile, as soon as the file
// `watched` has seen `event`, does `act` in the test directory, as another
// program would. The watch is set in the child, after the snapshot's reads.
// Under Wine the server is started first, as strace would wait for one that
// this run started.
using Act = std::function<void(const std::string& dir)>;
Prepare HeldBack(const Delays& delays, const char* watched, uint32_t event, const Act& act) {
  return [=](const std::string& dir, RunOptions& options) -> Afterwards {
    const std::string path = dir + "/" + watched;
    const int watch = inotify_init1(IN_CLOEXEC);
    options.wrapper = SlowedDown(dir, delays);
    options.serverFirst = true;
    options.inChild = [watch, path, event] { inotify_add_watch(watch, path.c_str(), event); };
    options.meanwhile = [watch, dir, act, watched] {
      pollfd seen = {watch, POLLIN, 0};
      EXPECT_EQ(poll(&seen, 1, 20000), 1) << watched << " saw nothing of kembu";
      act(dir);
    };
    return [watch] { close(watch); };
  };
}

// Another program renames a file over fw.img (or `to`), or deletes it. A
// rename over KEMBU.BIN waits until kembu has made it.
Act RenamedOver(const char* from, const char* to = kImg) {
  return [from, to](const std::string& dir) {
    if (to == kBin) usleep(200000);
    EXPECT_EQ(rename((dir + "/" + from).c_str(), (dir + "/" + to).c_str()), 0);
  };
}
const Act kDeleted = [](const std::string& dir) {
  EXPECT_EQ(unlink((dir + "/fw.img").c_str()), 0);
};
// Another backup of the image meanwhile, held back as `delays` say, which
// must say `message`.
Act OtherBackup(const Delays& delays, const char* message) {
  return [=](const std::string& dir) {
    std::vector<std::string> command = SlowedDown(dir, delays);
    for (const std::string& word : CommandFor(kB)) command.push_back(word);
    const Outcome other =
        Finish(Start(dir, command), std::chrono::steady_clock::now() + std::chrono::seconds(20));
    EXPECT_EQ(other.out, Said(message)) << "the other backup";
  };
}
// A hard link of the image, made before `then` prepares the rest.
Prepare HardLinked(const char* name, const Prepare& then) {
  return [=](const std::string& dir, RunOptions& options) {
    EXPECT_EQ(link((dir + "/fw.img").c_str(), (dir + "/" + name).c_str()), 0);
    return then(dir, options);
  };
}
Change Replaced(const char* from, const char* to = kImg) {
  return [from, to](Files& files) {
    files[to] = files[from];
    files.erase(from);
  };
}

// A file renamed over the image once kembu has checked it: the restore must
// neither write into the file that took the name, which it never checked,
// nor say "Ok!" for the file it checked, which the name no longer names.
// Windows lets no program rename a file held with share mode 0, but under
// Wine a Linux program may. kembu is held back at its read of KEMBU.BIN,
// after its read of the image.
// A failed backup deletes the KEMBU.BIN it wrote, but not a file renamed over
// it while it was flushed.
INSTANTIATE_TEST_SUITE_P(Swapped, SingleRun, ::testing::Values(
    Row{"ImageRenamedOverBeforeWrite", {{kImg, kLong}, {kBin, kSavedBody}, {"short.bin", kShort}},
        kR, "Error opening output file!", Replaced("short.bin"), {},
        HeldBack(Second(kBin, "read,pread64"), kImg, IN_ACCESS, RenamedOver("short.bin"))},
    Row{"BackupFileRenamedOverDuringFlush", {{kImg, kLong}, {"short.bin", kShort}}, kB,
        "Error writing KEMBU.BIN!", Replaced("short.bin", kBin), {},
        HeldBack(Second(kBin, "fsync"), kImg, IN_ACCESS, RenamedOver("short.bin", kBin))}), Name);

const std::function<void()> kReaderGone = [] {
  int ends[2];
  if (pipe(ends) != 0 || dup2(ends[1], 1) != 1) _exit(125);
  close(ends[0]);
  close(ends[1]);
};
// Not for an emulator, nor a sanitized program: they need more for themselves.
const std::function<void()> kFourMiBOfAddressSpace =
    [exempt = getenv("KEMBU_E2E_EMULATOR") || getenv("KEMBU_E2E_SANITIZED")] {
      rlimit limit = {4 << 20, RLIM_INFINITY};
      if (!exempt && setrlimit(RLIMIT_AS, &limit) != 0) _exit(125);
    };
std::function<void()> Closed(std::vector<int> closed) {
  return [closed] { for (int fd : closed) close(fd); };
}

// Another program that locks a file before it writes it, in any of the ways
// there are: it must not get a lock while kembu holds the file, a restore's
// image from its check to its write, a backup's KEMBU.BIN from its creation
// to its end. It comes well into the second that kembu is held back: at its
// read of KEMBU.BIN, or its flush of the new one. Should it get a lock, it
// writes, and kembu must not undo that.
// A reader that shares (`shares`) gets in, and writes nothing.
Act LockerFindsKembusLock(const char* name, int lock, bool shares = false) {
  return [=](const std::string& dir) {
    usleep(200000);
    const int fd = open((dir + "/" + name).c_str(), O_RDWR | O_CLOEXEC);
    const bool locked = Lock(fd, lock);
    EXPECT_EQ(locked, shares) << "another program's lock of " << name << " while kembu held it";
    if (locked && !shares) {
      EXPECT_EQ(pwrite(fd, "changed", 7, 0), 7);
    }
    close(fd);
  };
}
std::vector<Row> LockerRows() {
  std::vector<Row> rows;
  // A backup holds the image for reading, exclusively as far as the file
  // system allows: NFS v4 gives it only a shared flock of a file open for
  // reading, which a shared one joins. On NFS v3 the exclusive flock is a
  // write lock on the server, which no read lock taken after it may weaken.
  for (const int lock : {LOCK_EX, LOCK_SH}) {
    rows.push_back({"Image" + LockName(lock) + "DuringBackup", Disk(kLong), kB, "Backup Ok!",
                    kSaved, {},
                    HeldBack(Second(kBin, "fsync"), kImg, IN_ACCESS,
                             LockerFindsKembusLock(kImg, lock, lock == LOCK_SH && NfsV4()))});
  }
  for (const int lock : {LOCK_EX, LOCK_SH, POSIX_WRITE, POSIX_READ, OFD_WRITE}) {
    rows.push_back({"Image" + LockName(lock) + "AfterKembu", Disk(kLong, kSavedBody), kR,
                    "Restore Ok!", kRestored, {},
                    HeldBack(Second(kBin, "read"), kImg, IN_ACCESS,
                             LockerFindsKembusLock(kImg, lock))});
    rows.push_back({"BackupFile" + LockName(lock) + "AfterKembu", Disk(kLong), kB, "Backup Ok!",
                    kSaved, {},
                    HeldBack(Second(kBin, "fsync"), kImg, IN_ACCESS,
                             LockerFindsKembusLock(kBin, lock))});
  }
  return rows;
}
INSTANTIATE_TEST_SUITE_P(LockersLinuxOnly, SingleRun, ::testing::ValuesIn(LockerRows()), Name);

// Fails the test if anything opens the file during the run: opening a device
// can act on it.
const Prepare kNeverOpened = [](const std::string& dir, RunOptions&) -> Afterwards {
  const int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  EXPECT_NE(inotify_add_watch(watch, (dir + "/fw.img").c_str(), IN_OPEN), -1);
  return [watch] {
    char event[256];
    EXPECT_EQ(read(watch, event, sizeof event), -1) << "fw.img was opened";
    close(watch);
  };
};
const Files kSymlinked = {
    {"fw.img", kImage}, {"target.bin", "precious"}, {"KEMBU.BIN", "-> target.bin"}};

INSTANTIATE_TEST_SUITE_P(LinuxOnly, SingleRun, ::testing::Values(
    Row{"BackupFileFifoThatCannotBeDeleted", Disk(kImage, "<fifo>"), kB,
        "Error creating KEMBU.BIN!", kSame, kAsNobody, kFifoWithReader},
    // With no room at all the first write fails outright instead of coming
    // back short: the backup file goes again, the image is untouched.
    Row{"BackupWriteThatFails", Disk(kLong), kB, "Error writing KEMBU.BIN!", kSame, Limited(0)},
    Row{"RestoreWriteThatFails", Disk(kLong, kSavedBody), kR, "Error writing output file!", kSame,
        Limited(0)},
    // A reader that went away must not cost the backup.
    Row{"StdoutPipeWithoutReader", Disk(kImage), kB, "", kSaved, {kReaderGone}},
    // Where ls runs, so does kembu.
    Row{"BackupInFourMiBOfAddressSpace", Disk(kImage), kB, "Backup Ok!", kSaved,
        {kFourMiBOfAddressSpace}},
    // A device is no image, and a restore would write its first bytes.
    Row{"BackupOfDevice", Disk(kImage, kSavedBody), "kembu b /dev/zero",
        "Error opening input file!", kDropped},
    Row{"RestoreOfDevice", Disk(kImage, kSavedBody), "kembu r /dev/zero",
        "Error opening input file!", kSame},
    // Nor when the name comes to name one between kembu's look and its open.
    Row{"ImageThatBecomesADeviceBeforeItsOpen", Disk(kImage, kSavedBody), kB,
        "Error opening input file!", [](Files& files) {
          files[kImg] = "-> /dev/zero";
          files.erase(kBin);
        }, {},
        HeldBack({{kImg, "%%stat:delay_exit=1000000:when=2"}}, kBin, IN_DELETE_SELF,
                 [](const std::string& dir) {  // well into the delay after kembu's look
          usleep(200000);
          EXPECT_EQ(unlink((dir + "/fw.img").c_str()), 0);
          EXPECT_EQ(symlink("/dev/zero", (dir + "/fw.img").c_str()), 0);
        })},
    // A FIFO is no image either, and not even opened.
    Row{"BackupOfFifo", Disk("<fifo>", kSavedBody), kB, "Error opening input file!", kDropped, {},
        kNeverOpened},
    Row{"RestoreOfFifo", Disk("<fifo>", kSavedBody), kR, "Error opening input file!", kSame, {},
        kNeverOpened},
    // A KEMBU.BIN that is a symbolic link is replaced, never written through;
    // where it cannot be deleted it is left alone.
    Row{"BackupFileSymlinkIsReplaced", kSymlinked, kB, "Backup Ok!", kSaved},
    Row{"BackupFileSymlinkThatCannotBeDeleted", kSymlinked, kB, "Error creating KEMBU.BIN!", kSame,
        kAsNobody, Modes({{"target.bin", 0666}, {".", 0555}})},
    // With standard streams closed at start, the tool's own messages must not
    // land in the files it opens.
    Row{"RestoreWithStdoutClosed", Disk(kLong, kSavedBody), kR, "", kRestored, {Closed({1})}},
    Row{"BackupWithStdoutClosed", Disk(kLong), kB, "", kSaved, {Closed({1})}},
    Row{"RestoreWithStandardStreamsClosed", Disk(kLong, kSavedBody), kR, "", kRestored,
        {Closed({0, 1, 2})}},
    Row{"BackupWithStandardStreamsClosed", Disk(kLong), kB, "", kSaved, {Closed({0, 1, 2})}},
    // Where there is no null device (a bare chroot), the root folder fills in.
    Row{"BackupWithStandardInputClosedAndNoNullDevice", Disk(kLong), kB, "Backup Ok!", kSaved,
        {Closed({0}), {"/usr/bin/strace", "-f", "--quiet=all", "-o", "/dev/null", "-P",
                       "/dev/null", "-e", "inject=open,openat:error=ENOENT"}}},
    // A file deleted, or renamed over, between kembu's open and its lock is
    // refused: what is written to it would be lost, or go to another name's
    // file (keep.img, a hard link of the image, keeps it from being deleted).
    Row{"ImageDeletedBetweenOpenAndLock", Disk(kLong, kSavedBody), kR, "Error opening input file!",
        [](Files& files) { files.erase("fw.img"); }, {},
        HeldBack(Second(kImg, "fcntl"), kImg, IN_OPEN, kDeleted)},
    Row{"HardLinkedImageRenamedOverBetweenOpenAndLock",
        {{kImg, kLong}, {kBin, kSavedBody}, {"other.img", MakeImage(700, 3)}}, kR,
        "Error opening input file!", Replaced("other.img"), {},
        HardLinked("keep.img", HeldBack(Second(kImg, "fcntl"), kImg, IN_OPEN,
                                        RenamedOver("other.img")))},
    // Renamed over after the write, while it is flushed: the header went into
    // the file kembu checked, but the name no longer holds it.
    Row{"ImageRenamedOverDuringFlush", {{kImg, kLong}, {kBin, kSavedBody}, {"short.bin", kShort}},
        kR, "Error writing output file!", Replaced("short.bin"), {},
        HeldBack(Second(kImg, "fsync"), kImg, IN_MODIFY, RenamedOver("short.bin"))},
    // A KEMBU.BIN whose locks cannot be looked at may be held all the same:
    // another user's that kembu may not open, in a folder all may change, or
    // one whose lock calls fail. It stays, with its body.
    Row{"BackupFileThatCannotBeOpenedStays", Disk(kImage, kOld), kB, "Error creating KEMBU.BIN!",
        kSame, kAsNobody, Modes({{"KEMBU.BIN", 0000}, {".", 0777}})},
    // A read-only KEMBU.BIN in a folder you may change is deleted: only the
    // folder's rights count.
    Row{"ReadOnlyBackupFileIsDeleted", Disk(kImage, kOld), kB, "Backup Ok!", kSaved, kAsNobody,
        Modes({{"KEMBU.BIN", 0444}, {".", 0777}})},
    // Another user's KEMBU.BIN in a folder that all may change but only
    // owners delete from is still its owner's: neither emptied nor reused.
    Row{"OtherUsersBackupFileInStickyFolderStays", Disk(kImage, kOld), kB,
        "Error creating KEMBU.BIN!", kSame, kAsNobody, Modes({{"KEMBU.BIN", 0666}, {".", 01777}})},
    Row{"OtherUsersBackupFileInStickyFolderStaysThroughFailure", Disk(kImage, kOld),
        "kembu b missing.img", "Error opening input file!", kSame, kAsNobody,
        Modes({{"KEMBU.BIN", 0666}, {".", 01777}})},
    // (EINTR only for flock: a coverage build's exit retries its own
    // fcntl locks for as long as they are interrupted.)
    Row{"BackupFileWhoseFlockIsInterruptedStays", Disk(kImage, kOld), kB,
        "Error opening input file!", kSame, {{}, FailCall(SYS_flock, EINTR)}},
    Row{"BackupFileWhoseLockTestFailsStays", Disk(kImage, kOld), kB, "Error opening input file!",
        kSame, {{}, FailCall(SYS_fcntl, EIO, 1, F_GETLK & ~F_GETFD)}},
    // A new KEMBU.BIN that cannot be locked goes again: an empty one left
    // behind would only mislead.
    Row{"NewBackupFileThatCannotBeLockedGoes", Disk(kImage), kB, "Error creating KEMBU.BIN!",
        kSame, {}, [](const std::string& dir, RunOptions& options) -> Afterwards {
          options.wrapper = SlowedDown(dir, {{kBin, "flock:error=EIO"}});
          return {};
        }}),
    Name);

// A backup that fails because another one holds the image must not delete
// the KEMBU.BIN that other one holds: it is about to report it written.
// Windows refuses such a delete by itself; here the lock has to. (Named for
// ctest -R race.)
// Nor may its delete take the KEMBU.BIN that another backup made after it
// looked: after it found an older one, which the other deleted meanwhile, or
// after it found none. The other backup is held back at its flush, holding
// the image and its new KEMBU.BIN. (On NFS 4 two backups share the image,
// which they only read, and the second fails at its KEMBU.BIN.)
// After the delete's look at KEMBU.BIN, its second: lstat where there is
// one, else the second newfstatat (strace counts each call apart).
const Delays kAfterItsLook = {{kBin, "lstat:delay_exit=2000000"},
                              {kBin, "newfstatat:delay_exit=2000000:when=2"}};
const char* const kImageOfOtherBackup =
    NfsV4() ? "Error creating KEMBU.BIN!" : "Error opening input file!";
INSTANTIATE_TEST_SUITE_P(raceLinuxOnly, SingleRun, ::testing::Values(
    Row{"BackupFileHeldByAnotherBackupStays", Disk(MakeImage(1536, 1), Body(MakeImage(1536, 1))),
        kB, "Error opening input file!", kSame, {}, Held(kImg, LOCK_EX, true)},
    Row{"BackupFileMadeAfterTheDeleteLookedStays", Disk(kLong, kOld), kB, kImageOfOtherBackup,
        kSaved, {},
        HeldBack(Second(kBin, "fcntl"), kBin, IN_OPEN,
                 OtherBackup({{kBin, "fsync:delay_enter=3000000"}}, "Backup Ok!"))},
    Row{"BackupFileMadeAfterTheDeleteFoundNoneStays", Disk(kLong), kB, "Backup Ok!", kSaved, {},
        HeldBack({{kImg, "read:delay_enter=1000000"}, {kBin, "fsync:delay_enter=3000000"}}, kImg,
                 IN_OPEN, OtherBackup(kAfterItsLook, kImageOfOtherBackup))}), Name);

// Cases of more than one run.
using Operations = E2eTest;

// The whole cycle. On an image that was not repacked, a restore gives back
// the same bytes; after a repack (new lead-in, body, tail and length,
// resealed), the image keeps all but its body, and restoring twice is
// restoring once.
TEST_F(Operations, RoundTrip) {
  const Bytes original = MakeImage(3000, 1);
  Put("fw.img", original);
  EXPECT_EQ(Run(kB), Said("Backup Ok!"));
  EXPECT_EQ(Run(kR), Said("Restore Ok!"));
  ExpectFiles(Disk(original, Body(original)));

  const Bytes repacked = MakeImage(2500, 7);
  Put("fw.img", repacked);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(Run(kR), Said("Restore Ok!"));
    ExpectFiles(Disk(Restored(repacked, Body(original)), Body(original)));
  }
}

TEST_F(LinuxOnly, NewBackupFileModeIsUmaskApplied) {
  Put("fw.img", MakeImage(600, 1));
  for (const auto& [mask, mode] : {std::pair{022, 0644}, {0, 0666}, {077, 0600}}) {
    EXPECT_EQ(Run(kB, {[mask = mask] { umask(mask); }, {}}), Said("Backup Ok!"));
    struct stat status;
    ASSERT_EQ(stat(Path("KEMBU.BIN").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, static_cast<mode_t>(mode)) << "umask " << mask;
  }
}

// "Ok!" may only be printed once the written bytes are on storage, and after
// a backup, once the folder that holds KEMBU.BIN is too: the backup deleted
// and created a name there. A restore changes no folder.
TEST_F(LinuxOnly, FlushBeforeOk) {
  ASSERT_EQ(access("/usr/bin/strace", X_OK), 0) << "needs strace (apt-get install strace)";
  Put("fw.img", MakeImage(600, 1));
  const RunOptions traced = {
      {}, {"/usr/bin/strace", "-f", "-qq", "-e",
           "trace=fsync,fdatasync,write,pwrite64,open,openat", "-o", "trace"}};
  for (const auto& [op, written, ok] : {std::tuple{"b", ", 490, 0) = 490", "Backup Ok!"},
                                        {"r", ", 512, 0) = 512", "Restore Ok!"}}) {
    EXPECT_EQ(Run(std::string("kembu ") + op + " fw.img", traced), Said(ok));
    const std::string calls = Get("trace");
    const size_t write = calls.find(written);
    const size_t flush = calls.find("sync(", write);
    EXPECT_LT(flush, calls.find(ok)) << calls;  // npos, for a write or flush not made, is last
    const size_t folder = calls.find("\".\", O_RDONLY|", flush);
    if (op == std::string("b")) {
      EXPECT_NE(calls.find("O_DIRECTORY", folder), std::string::npos) << calls;
      EXPECT_LT(calls.find("fsync(", folder), calls.find(ok)) << calls;
    } else {
      EXPECT_EQ(folder, std::string::npos) << calls;
    }
  }
}

}  // namespace
