#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "fake/checked_run.h"

namespace {

// What a disk holds besides the image and KEMBU.BIN's bytes.
enum Extra : unsigned {
  kNoImage = 1, kNoBackup = 2, kImageReadOnly = 4, kBackupReadOnly = 8, kBackupFolder = 16,
  kNamed = 32,   // the image is named KEMBU.BIN
  kLinked = 64,  // the image is a hard link to KEMBU.BIN
  kNameChanged = 128, kTypedBackupName = 256, kEmptyName = 512,
};

struct Row {
  const char* name;
  bool restore;
  Bytes image, backup;
  unsigned extra;
  std::string message;
  int faultCall = 0;
};

void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

Layout LayoutOf(const Row& row) {
  Layout layout;
  layout.restore = row.restore;
  layout.image = row.image;
  layout.backup = row.extra & (kNamed | kLinked) ? row.image : row.backup;
  layout.haveImage = !(row.extra & kNoImage);
  layout.haveBackup = !(row.extra & kNoBackup);
  layout.imageReadOnly = row.extra & kImageReadOnly;
  layout.backupStuck = row.extra & (kBackupReadOnly | kBackupFolder);
  layout.backupIsFolder = row.extra & kBackupFolder;
  layout.alias = row.extra & kNamed ? kNamedBackup : row.extra & kLinked ? kLinkedToBackup
                                                                         : kSeparate;
  layout.nameAsTyped = !(row.extra & kNameChanged);
  layout.name = row.extra & kEmptyName ? "" : row.extra & kTypedBackupName ? kBackup : nullptr;
  return layout;
}

std::string Fault(const char* fault) { return fault ? fault : ""; }

const Bytes kOld(kBodySize, '\xEE');  // an older KEMBU.BIN
const Bytes kSaved(kBodySize, '\x11');  // a saved body
const Bytes kImage17 = MakeImage(512, 17), kBody18 = Body(MakeImage(512, 18));

// Each run goes through every check of fake/checked_run.h, and then through
// a backup and a restore that must give the image back.
class Procedure : public ::testing::TestWithParam<Row> {};

TEST_P(Procedure, GivesItsMessageAndKeepsFilesSafe) {
  const Row& row = GetParam();
  const Layout layout = LayoutOf(row);
  const CheckedRun run = RunChecked(layout, row.faultCall);
  EXPECT_EQ(row.message, run.message);
  EXPECT_EQ("", Fault(run.fault));
  EXPECT_EQ("", Fault(CheckRoundTrip(layout)));
}

std::string Name(const ::testing::TestParamInfo<Row>& info) { return info.param.name; }

// A failed backup leaves no older body behind; one that cannot delete the old
// file empties it (the delete is call 3) and uses it.
INSTANTIATE_TEST_SUITE_P(Backup, Procedure, ::testing::Values(
    Row{"SavesBodyAndLeavesImageAlone", false, MakeImage(4096, 1), "", kNoBackup, kBackupOk},
    Row{"ReplacesOlderBackupWhole", false, MakeImage(512, 2), Bytes(2000, '\xEE'), 0, kBackupOk},
    Row{"MissingImage", false, "", kOld, kNoImage, kOpenInput},
    Row{"EmptyName", false, "", kOld, kNoImage | kEmptyName, kOpenInput},
    Row{"Image511Bytes", false, MakeImage(511, 3), kOld, 0, kReadInput},
    Row{"BadChecksum", false, MakeImage(512, 4, false), kOld, 0, kBadChecksum},
    Row{"EmptiesBackupItCannotDelete", false, MakeImage(512, 5), Bytes(600, '\xEE'), 0,
        kBackupOk, 3},
    Row{"IntoReadOnlyBackup", false, MakeImage(512, 6), kOld, kBackupReadOnly, kCreateBackup},
    Row{"IntoFolderBackup", false, MakeImage(512, 6), kOld, kBackupFolder, kCreateBackup},
    Row{"RoundTrip", false, MakeImage(1024, 10), "", kNoBackup, kBackupOk}), Name);

// Refused untouched, with nothing but the name and identity checks run; a
// name not as typed is refused first, even KEMBU.BIN's.
INSTANTIATE_TEST_SUITE_P(Refused, Procedure, ::testing::Values(
    Row{"BackupOfBackupFile", false, MakeImage(512, 7), "", kNamed, kInputIsBackup},
    Row{"RestoreOfBackupFile", true, MakeImage(512, 7), "", kNamed, kInputIsBackup},
    Row{"BackupOfLinkToBackupFile", false, MakeImage(512, 7), "", kLinked, kInputIsBackup},
    Row{"RestoreOfLinkToBackupFile", true, MakeImage(512, 7), "", kLinked, kInputIsBackup},
    Row{"BackupNameNotAsTyped", false, kImage17, kBody18, kNameChanged, kNameNotAsTyped},
    Row{"RestoreNameNotAsTyped", true, kImage17, kBody18, kNameChanged, kNameNotAsTyped},
    Row{"BackupBackupNameNotAsTyped", false, kImage17, kBody18, kNameChanged | kTypedBackupName,
        kNameNotAsTyped},
    Row{"RestoreBackupNameNotAsTyped", true, kImage17, kBody18, kNameChanged | kTypedBackupName,
        kNameNotAsTyped}), Name);

// A restore keeps the image's lead-in, tail and length, puts in the first 490
// bytes of KEMBU.BIN and reseals; a restore's refusals change nothing.
INSTANTIATE_TEST_SUITE_P(Restore, Procedure, ::testing::Values(
    Row{"KeepsLeadInAndTailAndReseals", true, MakeImage(3001, 9), Body(MakeImage(3000, 8)), 0,
        kRestoreOk},
    Row{"Backup489Bytes", true, MakeImage(512, 11), MakeImage(489, 12, false), 0, kReadBackup},
    Row{"Backup490Bytes", true, MakeImage(512, 11), MakeImage(490, 12, false), 0, kRestoreOk},
    Row{"Backup491Bytes", true, MakeImage(512, 11), MakeImage(491, 12, false), 0, kRestoreOk},
    Row{"Backup5000Bytes", true, MakeImage(512, 11), MakeImage(5000, 12, false), 0, kRestoreOk},
    Row{"MissingImage", true, "", kSaved, kNoImage, kOpenInput},
    Row{"Image511Bytes", true, MakeImage(511, 13), kSaved, 0, kReadInput},
    Row{"BadChecksum", true, MakeImage(512, 14, false), kSaved, 0, kBadChecksum},
    Row{"NoBackup", true, MakeImage(512, 15), "", kNoBackup, kOpenBackup},
    Row{"ReadOnlyImage", true, MakeImage(512, 16), kSaved, kImageReadOnly, kOpenOutput}), Name);

// Fails every platform call in turn (or cuts every read and write short by a
// byte) until a run gets through without reaching the chosen call, for both
// procedures and from several starting disks, each run through the checks.
class FaultWalk : public ::testing::TestWithParam<std::tuple<bool, bool>> {
 protected:
  // The procedure (a restore?) and the fault (cut short?) come from the walk.
  Layout Start(const Row& row) {
    Layout layout = LayoutOf(row);
    std::tie(layout.restore, layout.cutShort) = GetParam();
    return layout;
  }
};

TEST_P(FaultWalk, EveryFailureGivesItsMessageAndKeepsFilesSafe) {
  const Bytes image = MakeImage(1536, 20), otherBody = Body(MakeImage(512, 21));
  const Row starts[] = {  // procedure and message come from the walk
      {"valid image, another body saved", false, image, otherBody, 0, ""},
      {"valid image, no backup file", false, image, "", kNoBackup, ""},
      {"valid image, long backup file", false, image, MakeImage(700, 22, false), 0, ""},
      {"valid image, short backup file", false, image, Bytes(kBodySize - 1, '\x33'), 0, ""},
      {"read-only image", false, image, otherBody, kImageReadOnly, ""},
      {"no image", false, "", otherBody, kNoImage, ""},
      {"image of 511 bytes", false, MakeImage(511, 23), otherBody, 0, ""},
      {"bad checksum", false, MakeImage(512, 24, false), otherBody, 0, ""},
  };
  for (const Row& start : starts) {
    SCOPED_TRACE(start.name);
    for (int n = 1;; ++n) {
      const CheckedRun run = RunChecked(Start(start), n);
      EXPECT_EQ("", Fault(run.fault)) << "call " << n;
      if (!run.reached) break;
    }
  }
}

// Every step that can fail is reached by the walk over a disk on which the
// procedure would succeed.
TEST_P(FaultWalk, ReachesEveryStepThatCanFail) {
  const auto [restore, cutShort] = GetParam();
  const Layout layout =
      Start({"", false, MakeImage(1536, 25), Body(MakeImage(512, 26)), 0, ""});
  std::set<std::string> messages;
  for (int n = 1;; ++n) {
    const CheckedRun run = RunChecked(layout, n);
    if (!run.reached) break;
    messages.insert(run.message);
  }
  using Set = std::set<std::string>;
  const Set expected =
      restore ? (cutShort ? Set{kRestoreOk, kReadInput, kReadBackup, kWriteOutput}
                          : Set{kRestoreOk, kNameNotAsTyped, kOpenInput, kReadInput, kOpenBackup,
                                kReadBackup, kOpenOutput, kWriteOutput})
              : (cutShort ? Set{kBackupOk, kReadInput, kWriteBackup}
                          : Set{kBackupOk, kNameNotAsTyped, kOpenInput, kReadInput,
                                kCreateBackup, kWriteBackup});
  EXPECT_EQ(expected, messages);
}

// Another program acts just before each platform call in turn: it renames
// another file over the image (a backup's: over KEMBU.BIN), or rewrites the
// image in place where no slot holds it. Whatever the moment, kembu writes
// only into the bytes it checked, never undoes the other program's write, and
// says "Ok!" only when the name holds the result.
struct InterloperRow {
  const char* name;
  bool restore;
  Interloper how;
};

void PrintTo(const InterloperRow& row, std::ostream* out) { *out << row.name; }

class Interlopers : public ::testing::TestWithParam<InterloperRow> {};

TEST_P(Interlopers, NeverUndoneNorWrittenOverNorReportedAway) {
  const InterloperRow& row = GetParam();
  const Bytes image = MakeImage(1536, 30), other = MakeImage(1000, 31), body = kBody18;
  const bool onImage = row.restore || row.how == Interloper::kRewrite;
  for (int n = 1;; ++n) {
    SCOPED_TRACE("acting before call " + std::to_string(n));
    FakeDisk& disk = ResetFakeDisk();
    disk.Put(kImage, image);
    disk.Put(kBackup, body);
    disk.interloper = row.how;
    disk.interloperCall = n;
    disk.interloperName = onImage ? kImage : kBackup;
    disk.interloperBytes = onImage ? other : kSaved;
    const char* fault = nullptr;
    const std::string message = RunOn(disk, row.restore, kImage, &fault);
    EXPECT_EQ("", Fault(fault));
    if (n > static_cast<int>(disk.calls.size())) break;
    const bool ok = message == (row.restore ? kRestoreOk : kBackupOk);
    const Bytes& named = disk.Get(disk.interloperName);
    if (!row.restore) {
      // KEMBU.BIN holds the body after "Ok!"; otherwise the other program's
      // file is left as it put it there.
      EXPECT_EQ(named, ok ? Body(image) : kSaved) << message;
      continue;
    }
    // A rewrite is refused while kembu holds the image; a rename over it
    // after kembu opened it stops the restore.
    const Bytes start = disk.interloped ? other : image;
    EXPECT_EQ(named, ok ? Restored(start, body) : start) << message;
    if (disk.displaced) {
      // The file a rename took the name from was checked: it may hold the
      // block, if the rename came after the last look at the name before the
      // write, but then "Ok!" is not said.
      int look = 0;
      while (look < n && disk.calls[look].kind != CallKind::kOpenOutput) ++look;
      const Bytes& old = disk.displaced->bytes;
      EXPECT_TRUE(old == image || (!ok && n > look + 1 && old == Restored(image, body)))
          << message;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Procedures, Interlopers, ::testing::Values(
    InterloperRow{"RestoreImageRenamedOver", true, Interloper::kSwap},
    InterloperRow{"RestoreImageRewritten", true, Interloper::kRewrite},
    InterloperRow{"BackupFileRenamedOver", false, Interloper::kSwap}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(Procedures, FaultWalk,
                         ::testing::Combine(::testing::Bool(), ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param) ? "Restore" : "Backup") +
                                  (std::get<1>(info.param) ? "ShortCounts" : "FailedCalls");
                         });

}  // namespace
