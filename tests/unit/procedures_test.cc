#include <gtest/gtest.h>

#include <string.h>

#include <set>
#include <vector>

#include "common/tool_state.h"
#include "fake/fake_io.h"
#include "fake/outcomes.h"
#include "header/header_block.h"
#include "header/procedures.h"
#include "io/io.h"

namespace {

const char kImage[] = "fw.img";
const char kBackup[] = "KEMBU.BIN";

// An image of the given length whose bytes all differ from their neighbours,
// with a valid header block unless told otherwise.
Bytes MakeImage(size_t length, unsigned char seed, bool valid = true) {
  Bytes image(length);
  for (size_t i = 0; i < length; ++i) image[i] = static_cast<unsigned char>(seed + i * 7);
  if (valid && length >= HEADER_SIZE) SealHeader(*reinterpret_cast<HeaderBlock*>(image.data()));
  return image;
}

Bytes BodyOf(const Bytes& image) {
  return Bytes(image.begin() + BODY_OFFSET, image.begin() + BODY_OFFSET + BODY_SIZE);
}

// What a restore of `body` into `image` must give.
Bytes Restored(Bytes image, const Bytes& body) {
  memcpy(image.data() + BODY_OFFSET, body.data(), BODY_SIZE);
  SealHeader(*reinterpret_cast<HeaderBlock*>(image.data()));
  return image;
}

class Procedures : public ::testing::Test {
 protected:
  void SetUp() override { disk_ = &ResetFakeDisk(); }

  // Runs one procedure the way the run sequence does, slots emptied after.
  std::string Run(const char* (*procedure)(), const char* imageName = kImage) {
    strcpy(toolState.imageName, imageName);
    const std::string message = procedure();
    CloseInput();
    CloseOutput();
    EXPECT_FALSE(disk_->AnySlotOpen());
    EXPECT_FALSE(disk_->slotMisuse);
    return message;
  }

  FakeDisk* disk_;
};

TEST_F(Procedures, BackupSavesBodyAndLeavesImageAlone) {
  const Bytes image = MakeImage(4096, 1);
  disk_->Put(kImage, image);
  EXPECT_EQ(kBackupOk, Run(RunBackup));
  EXPECT_EQ(BodyOf(image), disk_->Get(kBackup));
  EXPECT_EQ(image, disk_->Get(kImage));
  // Last comes the folder, which the delete and the create changed.
  ASSERT_GE(disk_->calls.size(), 2u);
  EXPECT_EQ(CallKind::kFlush, disk_->calls.end()[-2].kind);
  EXPECT_EQ(CallKind::kSyncFolder, disk_->calls.back().kind);
}

TEST_F(Procedures, BackupReplacesAnOlderBackupWhole) {
  disk_->Put(kBackup, Bytes(2000, 0xEE));
  const Bytes image = MakeImage(HEADER_SIZE, 2);  // exactly one header block
  disk_->Put(kImage, image);
  EXPECT_EQ(kBackupOk, Run(RunBackup));
  EXPECT_EQ(BodyOf(image), disk_->Get(kBackup));
}

TEST_F(Procedures, FailedBackupLeavesNoOlderBackupBehind) {
  struct Case {
    const char* name;
    Bytes image;
    std::string message;
  };
  const Case cases[] = {
      {"missing image", {}, kOpenInput},
      {"empty name", {}, kOpenInput},
      {"511 bytes", MakeImage(HEADER_SIZE - 1, 3), kReadInput},
      {"bad checksum", MakeImage(HEADER_SIZE, 4, false), kBadChecksum},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    disk_ = &ResetFakeDisk();
    disk_->Put(kBackup, Bytes(BODY_SIZE, 0xEE));
    if (!c.image.empty()) disk_->Put(kImage, c.image);
    EXPECT_EQ(c.message, Run(RunBackup, strcmp(c.name, "empty name") ? kImage : ""));
    EXPECT_FALSE(disk_->Has(kBackup));
    if (!c.image.empty()) {
      EXPECT_EQ(c.image, disk_->Get(kImage));
    }
  }
}

TEST_F(Procedures, BackupEmptiesABackupItCannotDelete) {
  disk_->Put(kImage, MakeImage(HEADER_SIZE, 5));
  disk_->Put(kBackup, Bytes(600, 0xEE));
  disk_->failCall = 3;  // the delete; the create then falls back to emptying
  ASSERT_EQ(kBackupOk, Run(RunBackup));
  EXPECT_EQ(BodyOf(disk_->Get(kImage)), disk_->Get(kBackup));
}

TEST_F(Procedures, BackupIntoReadOnlyOrDirectoryBackupFails) {
  for (bool directory : {false, true}) {
    disk_ = &ResetFakeDisk();
    disk_->Put(kImage, MakeImage(HEADER_SIZE, 6));
    disk_->Put(kBackup, Bytes(BODY_SIZE, 0xEE));
    disk_->files[kBackup]->readOnly = !directory;
    disk_->files[kBackup]->directory = directory;
    EXPECT_EQ(kCreateBackup, Run(RunBackup)) << directory;
  }
}

TEST_F(Procedures, ImageThatIsTheBackupFileIsRefusedUntouched) {
  const Bytes image = MakeImage(HEADER_SIZE, 7);
  disk_->Put(kBackup, image);
  disk_->files["link.img"] = disk_->files[kBackup];  // a hard link
  for (const char* name : {kBackup, "link.img"}) {
    for (auto procedure : {RunBackup, RunRestore}) {
      disk_->calls.clear();
      EXPECT_EQ(kInputIsBackup, Run(procedure, name)) << name;
      ASSERT_TRUE(disk_->Has(kBackup));
      EXPECT_EQ(image, disk_->Get(kBackup));
      EXPECT_EQ(2u, disk_->calls.size()) << "nothing but the name and identity checks may run";
    }
  }
}

TEST_F(Procedures, NameNotAsTypedIsRefusedBeforeAnythingElse) {
  const Bytes image = MakeImage(HEADER_SIZE, 17);
  const Bytes otherBody = BodyOf(MakeImage(HEADER_SIZE, 18));
  // Also when the name is the backup file's: the name check comes first.
  for (const char* name : {kImage, kBackup}) {
    for (auto procedure : {RunBackup, RunRestore}) {
      disk_ = &ResetFakeDisk();
      disk_->Put(kImage, image);
      disk_->Put(kBackup, otherBody);
      disk_->nameAsTyped = false;
      EXPECT_EQ(kNameNotAsTyped, Run(procedure, name)) << name;
      EXPECT_EQ(image, disk_->Get(kImage));
      ASSERT_TRUE(disk_->Has(kBackup)) << "the old backup file must not be deleted";
      EXPECT_EQ(otherBody, disk_->Get(kBackup));
      ASSERT_EQ(1u, disk_->calls.size()) << "nothing but the name check may run";
      EXPECT_EQ(CallKind::kNameCheck, disk_->calls[0].kind);
    }
  }
}

TEST_F(Procedures, RestoreKeepsLeadInAndTailAndReseals) {
  const Bytes original = MakeImage(3000, 8);
  const Bytes repacked = MakeImage(3001, 9);  // every byte differs, length too
  disk_->Put(kBackup, BodyOf(original));
  disk_->Put(kImage, repacked);

  ASSERT_EQ(kRestoreOk, Run(RunRestore));
  EXPECT_EQ(CallKind::kFlush, disk_->calls.back().kind) << "a restore changes no folder";
  const Bytes& result = disk_->Get(kImage);
  ASSERT_EQ(repacked.size(), result.size());
  EXPECT_TRUE(std::equal(repacked.begin(), repacked.begin() + BODY_OFFSET, result.begin()));
  EXPECT_EQ(BodyOf(original), BodyOf(result));
  EXPECT_TRUE(VerifyHeader(*reinterpret_cast<const HeaderBlock*>(result.data())));
  EXPECT_TRUE(std::equal(repacked.begin() + HEADER_SIZE, repacked.end(),
                         result.begin() + HEADER_SIZE));
  EXPECT_EQ(BodyOf(original), disk_->Get(kBackup));

  // A second restore finds nothing left to change.
  ASSERT_EQ(kRestoreOk, Run(RunRestore));
  EXPECT_EQ(result, disk_->Get(kImage));
}

TEST_F(Procedures, BackupThenRestoreLeavesImageAsItWas) {
  const Bytes image = MakeImage(1024, 10);
  disk_->Put(kImage, image);
  ASSERT_EQ(kBackupOk, Run(RunBackup));
  ASSERT_EQ(kRestoreOk, Run(RunRestore));
  EXPECT_EQ(image, disk_->Get(kImage));
}

TEST_F(Procedures, RestoreTakesFirst490BytesAndRefusesFewer) {
  const Bytes image = MakeImage(HEADER_SIZE, 11);
  struct Case {
    size_t backupLength;
    std::string message;
  };
  for (const Case& c : {Case{489, kReadBackup}, Case{490, kRestoreOk}, Case{491, kRestoreOk},
                        Case{5000, kRestoreOk}}) {
    disk_ = &ResetFakeDisk();
    disk_->Put(kImage, image);
    const Bytes backup = MakeImage(c.backupLength, 12, false);
    disk_->Put(kBackup, backup);
    EXPECT_EQ(c.message, Run(RunRestore)) << c.backupLength;
    const Bytes expected = c.message == kRestoreOk
                               ? Restored(image, Bytes(backup.begin(), backup.begin() + BODY_SIZE))
                               : image;
    EXPECT_EQ(expected, disk_->Get(kImage)) << c.backupLength;
    EXPECT_EQ(backup, disk_->Get(kBackup));
  }
}

TEST_F(Procedures, RestoreRefusalsLeaveImageUnchanged) {
  struct Case {
    const char* name;
    Bytes image;
    bool readOnly;
    bool haveBackup;
    std::string message;
  };
  const Case cases[] = {
      {"missing image", {}, false, true, kOpenInput},
      {"511 bytes", MakeImage(HEADER_SIZE - 1, 13), false, true, kReadInput},
      {"bad checksum", MakeImage(HEADER_SIZE, 14, false), false, true, kBadChecksum},
      {"no backup", MakeImage(HEADER_SIZE, 15), false, false, kOpenBackup},
      {"read-only image", MakeImage(HEADER_SIZE, 16), true, true, kOpenOutput},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    disk_ = &ResetFakeDisk();
    if (c.haveBackup) disk_->Put(kBackup, Bytes(BODY_SIZE, 0x11));
    if (!c.image.empty()) {
      disk_->Put(kImage, c.image);
      disk_->files[kImage]->readOnly = c.readOnly;
    }
    EXPECT_EQ(c.message, Run(RunRestore));
    if (!c.image.empty()) {
      EXPECT_EQ(c.image, disk_->Get(kImage));
    }
    if (c.haveBackup) {
      EXPECT_EQ(Bytes(BODY_SIZE, 0x11), disk_->Get(kBackup));
    }
  }
}

// Fails every platform call in turn (or cuts every read and write short by a
// byte) until a run gets through without reaching the chosen call, for both
// procedures and from several starting disks. After each run: the message is
// the one the failed step must give, the image is untouched unless the fault
// came at or after a restore's final write, and KEMBU.BIN never holds 490
// bytes that are not the image's body.
struct Walk {
  bool restore;
  bool cutShort;
};

std::string WalkName(const ::testing::TestParamInfo<Walk>& info) {
  return std::string(info.param.restore ? "Restore" : "Backup") +
         (info.param.cutShort ? "ShortCounts" : "FailedCalls");
}

class FaultWalk : public Procedures, public ::testing::WithParamInterface<Walk> {};

struct StartingDisk {
  const char* name;
  Bytes image;  // empty: no image
  bool imageReadOnly;
  Bytes backup;  // empty: no KEMBU.BIN
};

std::vector<StartingDisk> StartingDisks() {
  const Bytes image = MakeImage(1536, 20);
  const Bytes otherBody = BodyOf(MakeImage(HEADER_SIZE, 21));
  return {
      {"valid image, another body saved", image, false, otherBody},
      {"valid image, no backup file", image, false, {}},
      {"valid image, long backup file", image, false, MakeImage(700, 22, false)},
      {"valid image, short backup file", image, false, Bytes(BODY_SIZE - 1, 0x33)},
      {"read-only image", image, true, otherBody},
      {"no image", {}, false, otherBody},
      {"image of 511 bytes", MakeImage(HEADER_SIZE - 1, 23), false, otherBody},
      {"bad checksum", MakeImage(HEADER_SIZE, 24, false), false, otherBody},
  };
}

TEST_P(FaultWalk, EveryFailureGivesItsMessageAndKeepsFilesSafe) {
  const Walk walk = GetParam();
  const auto procedure = walk.restore ? RunRestore : RunBackup;
  const std::string ok = walk.restore ? kRestoreOk : kBackupOk;
  for (const StartingDisk& start : StartingDisks()) {
    SCOPED_TRACE(start.name);
    auto prepare = [&](int n) {
      disk_ = &ResetFakeDisk();
      if (!start.image.empty()) {
        disk_->Put(kImage, start.image);
        disk_->files[kImage]->readOnly = start.imageReadOnly;
      }
      if (!start.backup.empty()) disk_->Put(kBackup, start.backup);
      (walk.cutShort ? disk_->shortCall : disk_->failCall) = n;
    };
    prepare(0);
    const std::string unfaulted = Run(procedure);
    const Bytes restored = start.backup.size() >= BODY_SIZE && start.image.size() >= HEADER_SIZE
                               ? Restored(start.image, Bytes(start.backup.begin(),
                                                             start.backup.begin() + BODY_SIZE))
                               : Bytes();

    for (int n = 1;; ++n) {
      prepare(n);
      const std::string message = Run(procedure);
      if (static_cast<int>(disk_->calls.size()) < n) break;  // the fault was never reached
      SCOPED_TRACE("call " + std::to_string(n));
      const PlatformCall& call = disk_->calls[n - 1];
      const std::string stop = StopMessage(walk.restore, walk.cutShort, call);
      EXPECT_EQ(stop.empty() ? unfaulted : stop, message);
      if (!stop.empty()) {
        EXPECT_EQ(static_cast<size_t>(n), disk_->calls.size()) << "the run went on after a failure";
      }

      ASSERT_EQ(!start.image.empty(), disk_->Has(kImage));
      if (!start.image.empty()) {
        const Bytes& now = disk_->Get(kImage);
        const bool finalWrite = walk.restore && call.kind == CallKind::kWrite && !stop.empty();
        if (message == ok || (walk.restore && call.kind == CallKind::kFlush)) {
          EXPECT_EQ(walk.restore ? restored : start.image, now);
        } else if (finalWrite && walk.cutShort) {
          // The one fault allowed to touch the image: the block, short by a byte.
          Bytes partial = restored;
          partial[HEADER_SIZE - 1] = start.image[HEADER_SIZE - 1];
          EXPECT_EQ(partial, now);
        } else {
          EXPECT_EQ(start.image, now);
        }
      }

      if (walk.restore) {
        ASSERT_EQ(!start.backup.empty(), disk_->Has(kBackup));
        if (!start.backup.empty()) {
          EXPECT_EQ(start.backup, disk_->Get(kBackup));
        }
      } else if (message == ok) {
        EXPECT_EQ(BodyOf(start.image), disk_->Get(kBackup));
      } else if (message == kNameNotAsTyped) {
        // Refused before the delete: an old backup file stays as it was.
        ASSERT_EQ(!start.backup.empty(), disk_->Has(kBackup));
        if (!start.backup.empty()) {
          EXPECT_EQ(start.backup, disk_->Get(kBackup));
        }
      } else if (disk_->Has(kBackup) && disk_->Get(kBackup).size() >= BODY_SIZE) {
        // Absent, or short enough for a restore to refuse, or the right body.
        ASSERT_GE(start.image.size(), HEADER_SIZE);
        EXPECT_EQ(BodyOf(start.image), disk_->Get(kBackup));
      }
    }
  }
}

// Every step that can fail is reached by the walk over a disk on which the
// procedure would succeed.
TEST_P(FaultWalk, ReachesEveryStepThatCanFail) {
  const Walk walk = GetParam();
  std::set<std::string> messages;
  for (int n = 1;; ++n) {
    disk_ = &ResetFakeDisk();
    disk_->Put(kImage, MakeImage(1536, 25));
    disk_->Put(kBackup, BodyOf(MakeImage(HEADER_SIZE, 26)));
    (walk.cutShort ? disk_->shortCall : disk_->failCall) = n;
    const std::string message = Run(walk.restore ? RunRestore : RunBackup);
    if (static_cast<int>(disk_->calls.size()) < n) break;
    messages.insert(message);
  }
  std::set<std::string> expected;
  if (walk.restore) {
    expected = walk.cutShort
                   ? std::set<std::string>{kRestoreOk, kReadInput, kReadBackup, kWriteOutput}
                   : std::set<std::string>{kRestoreOk, kNameNotAsTyped, kOpenInput, kReadInput,
                                           kOpenBackup, kReadBackup, kOpenOutput, kWriteOutput};
  } else {
    expected = walk.cutShort ? std::set<std::string>{kBackupOk, kReadInput, kWriteBackup}
                             : std::set<std::string>{kBackupOk, kNameNotAsTyped, kOpenInput,
                                                     kReadInput, kCreateBackup, kWriteBackup};
  }
  EXPECT_EQ(expected, messages);
}

INSTANTIATE_TEST_SUITE_P(Procedures, FaultWalk,
                         ::testing::Values(Walk{false, false}, Walk{false, true},
                                           Walk{true, false}, Walk{true, true}),
                         WalkName);

}  // namespace
