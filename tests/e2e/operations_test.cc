// Backup and restore on real files: every outcome message, and what each run
// leaves on disk.
#include <sys/stat.h>

#include "harness.h"

namespace {

constexpr int kMissing = -1;

// An image of the given size (kMissing: no file), valid unless badChecksum.
Bytes ImageOf(int size, bool badChecksum, unsigned seed) {
  Bytes image = MakeImage(size, seed);
  if (badChecksum) image[510] ^= 1;
  return image;
}

struct BackupCase {
  const char* label;
  int imageSize;
  bool badChecksum;
  const char* message;
};

void PrintTo(const BackupCase& c, std::ostream* out) { *out << c.label; }

class Backup : public E2eTest, public ::testing::WithParamInterface<BackupCase> {};

// An older, longer KEMBU.BIN is there each time: a backup replaces it whole,
// a failed one leaves none behind.
TEST_P(Backup, Outcome) {
  const BackupCase& c = GetParam();
  if (c.imageSize != kMissing) Put("fw.img", ImageOf(c.imageSize, c.badChecksum, 1));
  Put("KEMBU.BIN", Pattern(700, 2));
  Files expected = Snapshot();

  EXPECT_EQ(Run("kembu b fw.img"), Said(c.message));

  expected.erase("KEMBU.BIN");
  if (c.message == std::string("Backup Ok!")) expected["KEMBU.BIN"] = Body(expected["fw.img"]);
  ExpectFiles(expected);
}

INSTANTIATE_TEST_SUITE_P(Inputs, Backup, ::testing::Values(
    BackupCase{"Valid", 3000, false, "Backup Ok!"},
    BackupCase{"Exactly512Bytes", 512, false, "Backup Ok!"},
    BackupCase{"Only511Bytes", 511, false, "Error reading input file!"},
    BackupCase{"Empty", 0, false, "Error reading input file!"},
    BackupCase{"Missing", kMissing, false, "Error opening input file!"},
    BackupCase{"BadChecksum", 3000, true, "Bad checksum in input file!"}),
    [](const auto& info) { return std::string(info.param.label); });

struct RestoreCase {
  const char* label;
  int imageSize;
  bool badChecksum;
  int backupSize;
  const char* message;
};

void PrintTo(const RestoreCase& c, std::ostream* out) { *out << c.label; }

class Restore : public E2eTest, public ::testing::WithParamInterface<RestoreCase> {};

// KEMBU.BIN is never changed; the image only on success, and then only in
// its first 512 bytes.
TEST_P(Restore, Outcome) {
  const RestoreCase& c = GetParam();
  if (c.imageSize != kMissing) Put("fw.img", ImageOf(c.imageSize, c.badChecksum, 1));
  if (c.backupSize != kMissing) Put("KEMBU.BIN", Pattern(c.backupSize, 2));
  Files expected = Snapshot();

  EXPECT_EQ(Run("kembu r fw.img"), Said(c.message));

  if (c.message == std::string("Restore Ok!")) {
    expected["fw.img"] = Restored(expected["fw.img"], expected["KEMBU.BIN"]);
  }
  ExpectFiles(expected);
}

INSTANTIATE_TEST_SUITE_P(Inputs, Restore, ::testing::Values(
    RestoreCase{"Valid", 3000, false, 490, "Restore Ok!"},
    RestoreCase{"Exactly512Bytes", 512, false, 490, "Restore Ok!"},
    RestoreCase{"Backup491Bytes", 3000, false, 491, "Restore Ok!"},
    RestoreCase{"LongBackupUsesFirst490", 3000, false, 1000, "Restore Ok!"},
    RestoreCase{"Backup489Bytes", 3000, false, 489, "Error reading KEMBU.BIN!"},
    RestoreCase{"EmptyBackup", 3000, false, 0, "Error reading KEMBU.BIN!"},
    RestoreCase{"NoBackup", 3000, false, kMissing, "Error opening KEMBU.BIN!"},
    RestoreCase{"BadChecksum", 3000, true, 490, "Bad checksum in input file!"},
    RestoreCase{"Only511Bytes", 511, false, 490, "Error reading input file!"},
    RestoreCase{"MissingImage", kMissing, false, 490, "Error opening input file!"}),
    [](const auto& info) { return std::string(info.param.label); });

using Operations = E2eTest;

// The whole cycle. On an image that was not repacked, a restore gives back
// the same bytes; after a repack (new lead-in, body, tail and length,
// resealed), the image keeps all but its body, and restoring twice is
// restoring once.
TEST_F(Operations, RoundTrip) {
  const Bytes original = MakeImage(3000, 1);
  Put("fw.img", original);
  EXPECT_EQ(Run("kembu b fw.img"), Said("Backup Ok!"));
  EXPECT_EQ(Run("kembu r fw.img"), Said("Restore Ok!"));
  ExpectFiles({{"fw.img", original}, {"KEMBU.BIN", Body(original)}});

  const Bytes repacked = MakeImage(2500, 7);
  Put("fw.img", repacked);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(Run("kembu r fw.img"), Said("Restore Ok!"));
    ExpectFiles({{"fw.img", Restored(repacked, Body(original))}, {"KEMBU.BIN", Body(original)}});
  }
}

TEST_F(Operations, BackupFileThatIsAFolderCannotBeCreated) {
  Put("fw.img", MakeImage(600, 1));
  ASSERT_EQ(mkdir(Path("KEMBU.BIN").c_str(), 0755), 0);
  const Files before = Snapshot();
  EXPECT_EQ(Run("kembu b fw.img"), Said("Error creating KEMBU.BIN!"));
  ExpectFiles(before);
}

// A folder is no image: it cannot be opened as one, and is never read.
TEST_F(Operations, ImageThatIsAFolderCannotBeOpened) {
  ASSERT_EQ(mkdir(Path("fw.img").c_str(), 0755), 0);
  Put("KEMBU.BIN", Pattern(kBodySize, 2));
  const Files before = Snapshot();
  EXPECT_EQ(Run("kembu r fw.img"), Said("Error opening input file!"));
  ExpectFiles(before);
  EXPECT_EQ(Run("kembu b fw.img"), Said("Error opening input file!"));
  ExpectFiles({{"fw.img", "<dir>"}});
}

// A file size limit cuts the write short, as a full disk would.
TEST_F(Operations, ShortWrites) {
  // Wine's server must already be up: one started by a limited run keeps the limit.
  EXPECT_EQ(Run("kembu"), Usage());
  const RunOptions limited = {[] { LimitFileSize(100); }, {}};
  const Bytes image = MakeImage(3000, 1);
  Put("fw.img", image);

  EXPECT_EQ(Run("kembu b fw.img", limited), Said("Error writing KEMBU.BIN!"));
  const Bytes partial = Body(image).substr(0, 100);
  ExpectFiles({{"fw.img", image}, {"KEMBU.BIN", partial}});

  const Bytes backup = Pattern(kBodySize, 2);
  Put("KEMBU.BIN", backup);
  EXPECT_EQ(Run("kembu r fw.img", limited), Said("Error writing output file!"));
  ExpectFiles({{"fw.img", Restored(image, backup).substr(0, 100) + image.substr(100)},
               {"KEMBU.BIN", backup}});
}

// As root, file modes stop nobody; the run drops to an ordinary user.
TEST_F(LinuxOnly, ImageThatCannotBeWrittenTo) {
  Put("fw.img", MakeImage(600, 1));
  Put("KEMBU.BIN", Pattern(kBodySize, 2));
  ASSERT_EQ(chmod(Path("fw.img").c_str(), 0444), 0);
  const Files before = Snapshot();
  EXPECT_EQ(Run("kembu r fw.img", {DropPrivileges, {}}), Said("Error opening output file!"));
  ExpectFiles(before);
}

}  // namespace
