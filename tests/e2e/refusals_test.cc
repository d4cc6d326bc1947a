// Calls that fail half-way on Linux: a file that opens but cannot be emptied,
// a write that moves nothing. Each must end in its error message with the
// files as they were.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "harness.h"

namespace {

// A KEMBU.BIN that cannot be deleted and is no regular file must never get
// the body: a FIFO with a reader would take it and pass for a backup.
TEST_F(LinuxOnly, BackupFileFifoThatCannotBeDeleted) {
  const Bytes image = MakeImage(600, 1);
  Put("fw.img", image);
  ASSERT_EQ(mkfifo(Path("KEMBU.BIN").c_str(), 0666), 0);
  ASSERT_EQ(chmod(Path("KEMBU.BIN").c_str(), 0666), 0);
  const int reader = open(Path("KEMBU.BIN").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_NE(reader, -1);
  ASSERT_EQ(chmod(dir_.c_str(), 0555), 0);
  const Files before = Snapshot();

  EXPECT_EQ(Run("kembu b fw.img", {DropPrivileges, {}}), Said("Error creating KEMBU.BIN!"));

  char got[kBodySize];
  EXPECT_LE(read(reader, got, sizeof got), 0) << "bytes reached the FIFO";
  close(reader);
  ExpectFiles(before);
}

// With no room at all the first write fails outright instead of coming back
// short: the backup file stays empty, the image untouched.
TEST_F(LinuxOnly, WritesThatFail) {
  const RunOptions full = {[] { LimitFileSize(0); }, {}};
  const Bytes image = MakeImage(3000, 1);
  Put("fw.img", image);
  EXPECT_EQ(Run("kembu b fw.img", full), Said("Error writing KEMBU.BIN!"));
  ExpectFiles({{"fw.img", image}, {"KEMBU.BIN", ""}});

  const Bytes backup = Pattern(kBodySize, 2);
  Put("KEMBU.BIN", backup);
  EXPECT_EQ(Run("kembu r fw.img", full), Said("Error writing output file!"));
  ExpectFiles({{"fw.img", image}, {"KEMBU.BIN", backup}});
}

}  // namespace
