// What protects the files the tool works on: the backup file given as the
// image, links, locks, closed standard streams, flushing before "Ok!".
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "harness.h"

namespace {

// KEMBU.BIN holds a valid image, so a run that took it as the image would
// succeed and change something.
class BackupFileAsImage : public E2eTest {
 protected:
  void SetUp() override {
    E2eTest::SetUp();
    Put("KEMBU.BIN", MakeImage(600, 1));
    Put("sub/fw.img", MakeImage(600, 2));
    ASSERT_EQ(link(Path("KEMBU.BIN").c_str(), Path("hard.img").c_str()), 0);
    ASSERT_EQ(symlink("KEMBU.BIN", Path("soft.img").c_str()), 0);
  }

  void ExpectRefused(std::initializer_list<const char*> names) {
    const Files before = Snapshot();
    for (const char* name : names) {
      for (const char* op : {"kembu b ", "kembu r "}) {
        EXPECT_EQ(Run(op + std::string(name)), Said("Input file is KEMBU.BIN!")) << op << name;
        ExpectFiles(before);
      }
    }
  }
};

TEST_F(BackupFileAsImage, IsRefusedUnderAnyName) {
  ExpectRefused({"KEMBU.BIN", "./KEMBU.BIN", "sub/../KEMBU.BIN", "hard.img", "soft.img"});
}

class WindowsOnlyBackupFileAsImage : public BackupFileAsImage {};

TEST_F(WindowsOnlyBackupFileAsImage, IsRefusedUnderWindowsSpellings) {
  ExpectRefused({".\\KEMBU.BIN", "kembu.bin", "Kembu.Bin", "sub\\..\\kembu.BIN"});
}

TEST_F(BackupFileAsImage, IsRefusedWhenBackupFileLinksToImage) {
  ASSERT_EQ(unlink(Path("KEMBU.BIN").c_str()), 0);
  ASSERT_EQ(symlink("sub/fw.img", Path("KEMBU.BIN").c_str()), 0);
  ExpectRefused({"sub/fw.img"});
}

using Safeguards = E2eTest;

// With no KEMBU.BIN the check passes and each operation goes its normal way.
TEST_F(Safeguards, NoBackupFileIsNoObstacle) {
  const Bytes image = MakeImage(600, 1);
  Put("fw.img", image);
  EXPECT_EQ(Run("kembu b KEMBU.BIN"), Said("Error opening input file!"));
  EXPECT_EQ(Run("kembu r KEMBU.BIN"), Said("Error opening input file!"));
  EXPECT_EQ(Run("kembu b fw.img"), Said("Backup Ok!"));
  ExpectFiles({{"fw.img", image}, {"KEMBU.BIN", Body(image)}});
}

// A reader that went away must not cost the backup.
TEST_F(LinuxOnly, StdoutPipeWithoutReader) {
  const Bytes image = MakeImage(600, 1);
  Put("fw.img", image);
  const auto readerGone = [] {
    int ends[2];
    if (pipe(ends) != 0 || dup2(ends[1], 1) != 1) _exit(125);
    close(ends[0]);
    close(ends[1]);
  };
  EXPECT_EQ(Run("kembu b fw.img", {readerGone, {}}), "");
  ExpectFiles({{"fw.img", image}, {"KEMBU.BIN", Body(image)}});
}

// A FIFO without a writer must neither hang the run nor pass as an image.
TEST_F(LinuxOnly, FifoAsImage) {
  ASSERT_EQ(mkfifo(Path("fw.img").c_str(), 0644), 0);
  Put("KEMBU.BIN", Pattern(kBodySize, 1));
  for (const char* line : {"kembu b fw.img", "kembu r fw.img"}) {
    const Bytes out = Run(line);
    EXPECT_TRUE(out == Said("Error opening input file!") || out == Said("Error reading input file!"))
        << line << " printed " << out;
  }
}

// A KEMBU.BIN that is a symbolic link is replaced, never written through.
TEST_F(LinuxOnly, BackupFileSymlinkIsReplaced) {
  const Bytes image = MakeImage(600, 1);
  Put("fw.img", image);
  Put("target.bin", "precious");
  ASSERT_EQ(symlink("target.bin", Path("KEMBU.BIN").c_str()), 0);
  EXPECT_EQ(Run("kembu b fw.img"), Said("Backup Ok!"));
  ExpectFiles({{"fw.img", image}, {"target.bin", "precious"}, {"KEMBU.BIN", Body(image)}});
}

// In a folder the user cannot write to, the old KEMBU.BIN cannot be deleted.
// A symbolic link there is left alone, never written through.
TEST_F(LinuxOnly, BackupFileSymlinkThatCannotBeDeleted) {
  const Bytes image = MakeImage(600, 1);
  Put("fw.img", image);
  Put("target.bin", "precious");
  ASSERT_EQ(chmod(Path("target.bin").c_str(), 0666), 0);
  ASSERT_EQ(symlink("target.bin", Path("KEMBU.BIN").c_str()), 0);
  ASSERT_EQ(chmod(dir_.c_str(), 0555), 0);
  const Files before = Snapshot();
  EXPECT_EQ(Run("kembu b fw.img", {DropPrivileges, {}}), Said("Error creating KEMBU.BIN!"));
  ExpectFiles(before);
}

// A regular one is emptied, so even a failed backup leaves no older body
// behind, and then reused.
TEST_F(Safeguards, BackupFileThatCannotBeDeleted) {
  const Bytes image = MakeImage(600, 1);
  Put("fw.img", image);
  Put("KEMBU.BIN", Pattern(700, 2));
  ASSERT_EQ(chmod(Path("KEMBU.BIN").c_str(), 0666), 0);
  ASSERT_EQ(chmod(dir_.c_str(), 0555), 0);
  Files expected = Snapshot();

  EXPECT_EQ(Run("kembu b missing.img", {DropPrivileges, {}}), Said("Error opening input file!"));
  expected["KEMBU.BIN"] = "";
  ExpectFiles(expected);
  EXPECT_EQ(Run("kembu b fw.img", {DropPrivileges, {}}), Said("Backup Ok!"));
  expected["KEMBU.BIN"] = Body(image);
  ExpectFiles(expected);
}

TEST_F(LinuxOnly, NewBackupFileModeIsUmaskApplied) {
  Put("fw.img", MakeImage(600, 1));
  for (const auto& [mask, mode] : {std::pair{022, 0644}, {0, 0666}, {077, 0600}}) {
    EXPECT_EQ(Run("kembu b fw.img", {[mask = mask] { umask(mask); }, {}}), Said("Backup Ok!"));
    struct stat status;
    ASSERT_EQ(stat(Path("KEMBU.BIN").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, static_cast<mode_t>(mode)) << "umask " << mask;
  }
}

// A file another program holds counts as one that cannot be opened. On Linux
// the holder locks it: with flock, a POSIX record lock (fcntl, lockf) or an
// open-file-description lock. A read lock of the last two still lets kembu
// read the file, never write or delete it. On Windows it is a viewer that
// keeps the file open for reading and shares every access, which share mode 0
// still refuses; since it shares deletion too, the backup's delete takes
// KEMBU.BIN once it lets go. Only a backup that fails at the image deletes
// KEMBU.BIN; Ok rows change the files as an unheld run would.
enum Holder { FLOCK_EX, FLOCK_SH, POSIX_WR, POSIX_RD, OFD_WR, OFD_RD, WINE_HOLD };

void Hold(int fd, Holder holder) {
  if (holder == FLOCK_EX || holder == FLOCK_SH) {
    ASSERT_EQ(flock(fd, holder == FLOCK_EX ? LOCK_EX : LOCK_SH), 0);
    return;
  }
  struct flock lock = {};
  lock.l_type = holder == POSIX_WR || holder == OFD_WR ? F_WRLCK : F_RDLCK;
  lock.l_whence = SEEK_SET;
  ASSERT_EQ(fcntl(fd, holder == POSIX_WR || holder == POSIX_RD ? F_SETLK : F_OFD_SETLK, &lock), 0);
}

TEST_F(Safeguards, FilesHeldByAnotherProgram) {
  const char* const openImage = "Error opening input file!";
  const struct {
    std::vector<Holder> holders;
    const char* held;
    const char* line;
    const char* message;
  } cases[] = {
      {{FLOCK_EX, FLOCK_SH, POSIX_WR, OFD_WR, WINE_HOLD}, "fw.img", "kembu b fw.img", openImage},
      {{FLOCK_EX, FLOCK_SH, POSIX_WR, OFD_WR, WINE_HOLD}, "fw.img", "kembu r fw.img", openImage},
      {{FLOCK_EX, FLOCK_SH, POSIX_WR, OFD_WR, WINE_HOLD}, "KEMBU.BIN", "kembu r fw.img",
       "Error opening KEMBU.BIN!"},
      {{FLOCK_EX, FLOCK_SH, POSIX_WR, POSIX_RD, OFD_WR, OFD_RD, WINE_HOLD}, "KEMBU.BIN",
       "kembu b fw.img", "Error creating KEMBU.BIN!"},
      {{POSIX_RD, OFD_RD}, "fw.img", "kembu b fw.img", "Backup Ok!"},
      {{POSIX_RD, OFD_RD}, "fw.img", "kembu r fw.img", "Error opening output file!"},
      {{POSIX_RD, OFD_RD}, "KEMBU.BIN", "kembu r fw.img", "Restore Ok!"},
  };
  for (const auto& c : cases) {
    for (const Holder holder : c.holders) {
      if ((holder == WINE_HOLD) != UnderWine()) continue;
      SCOPED_TRACE(std::string(c.line) + " with " + c.held + " held, holder " +
                   std::to_string(holder));
      const Bytes image = MakeImage(600, 1), body = Pattern(kBodySize, 2);
      Put("fw.img", image);
      Put("KEMBU.BIN", body);
      Files expected = Snapshot();
      RunOptions options;
      int fd = -1;
      if (holder == WINE_HOLD) {
        options.hold = c.held;
      } else {
        fd = open(Path(c.held).c_str(), O_RDWR | O_CLOEXEC);
        Hold(fd, holder);
      }
      EXPECT_EQ(Run(c.line, options), Said(c.message));
      if (fd != -1) close(fd);
      const bool backup = c.line[6] == 'b';
      if (c.message == std::string("Backup Ok!")) expected["KEMBU.BIN"] = Body(image);
      if (c.message == std::string("Restore Ok!")) expected["fw.img"] = Restored(image, body);
      if (backup && c.message == std::string(openImage)) expected.erase("KEMBU.BIN");
      if (backup && holder == WINE_HOLD) expected.erase("KEMBU.BIN");
      ExpectFiles(expected);
    }
  }
}

// Network file systems fail locks that a local disk grants: NFS refuses an
// exclusive lock on a file open for reading (EBADF), and without its lock
// service every lock and lock test (ENOLCK). kembu then locks shared, or not
// at all, and both operations work; a lock another process holds still
// refuses the image. NFS also carries out flock as a POSIX lock of the whole file, held
// by kembu's own process (played by a preloaded shim, which reaches the
// dynamic program alone): kembu's own locks must not refuse it, and a shared
// lock of another's must still keep its KEMBU.BIN from being deleted.
// Neither a folder that cannot be opened nor one that cannot be flushed
// costs the backup.
TEST_F(LinuxOnly, WhereFileSystemsFailLocksAndFolderFlushes) {
  const auto exclusiveRefused = FailCall(SYS_flock, EBADF, 1, LOCK_EX);
  const RunOptions nfsLocks = {{}, {"/usr/bin/env", "LD_PRELOAD=" KEMBU_E2E_NFS_FLOCK}};
  const bool dynamic = ProgramPath() == KEMBU_E2E_DYNAMIC_PROGRAM;
  std::vector<RunOptions> runs = {
      {{}, exclusiveRefused},
      {{}, FailCall(SYS_flock, ENOLCK)},
      {{}, FailCall(SYS_fcntl, ENOLCK, 1, F_GETLK & ~F_GETFD)},  // the lock test alone
      {{}, FailCall(SYS_openat, EACCES, 2, O_DIRECTORY)},
      {{}, {"/usr/bin/strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=fsync",
            "-e", "inject=fsync:error=EINVAL:when=2"}},
  };
  if (dynamic) runs.push_back(nfsLocks);
  for (const auto& run : runs) {
    SCOPED_TRACE(run.wrapper[1] + " " + run.wrapper.back());
    const Bytes image = MakeImage(3000, 1), repacked = MakeImage(2000, 2);
    Put("fw.img", image);
    Put("KEMBU.BIN", Pattern(kBodySize, 3));
    EXPECT_EQ(Run("kembu b fw.img", run), Said("Backup Ok!"));
    ExpectFiles({{"fw.img", image}, {"KEMBU.BIN", Body(image)}});
    Put("fw.img", repacked);
    EXPECT_EQ(Run("kembu r fw.img", run), Said("Restore Ok!"));
    ExpectFiles({{"fw.img", Restored(repacked, Body(image))}, {"KEMBU.BIN", Body(image)}});
  }

  const Files before = Snapshot();
  const RunOptions shared = {{}, exclusiveRefused};
  for (const auto& [held, holder, run, message] :
       {std::tuple{"fw.img", FLOCK_EX, shared, "Error opening input file!"},
        {"KEMBU.BIN", POSIX_RD, dynamic ? nfsLocks : shared, "Error creating KEMBU.BIN!"}}) {
    const int fd = open(Path(held).c_str(), O_RDWR | O_CLOEXEC);
    Hold(fd, holder);
    EXPECT_EQ(Run(held == std::string("fw.img") ? "kembu r fw.img" : "kembu b fw.img", run),
              Said(message));
    close(fd);
    ExpectFiles(before);
  }
}

// "Ok!" may only be printed once the written bytes are on storage, and after
// a backup, once the folder that holds KEMBU.BIN is too: the backup deleted
// and created a name there. A restore changes no folder.
TEST_F(LinuxOnly, FlushBeforeOk) {
  ASSERT_EQ(access("/usr/bin/strace", X_OK), 0) << "needs strace (apt-get install strace)";
  Put("fw.img", MakeImage(600, 1));
  const RunOptions traced = {
      {}, {"/usr/bin/strace", "-f", "-qq", "-e", "trace=fsync,fdatasync,write,open,openat", "-o",
           "trace"}};
  for (const auto& [op, written, ok] : {std::tuple{"b", ", 490) = 490", "Backup Ok!"},
                                        {"r", ", 512) = 512", "Restore Ok!"}}) {
    EXPECT_EQ(Run(std::string("kembu ") + op + " fw.img", traced), Said(ok));
    const std::string calls = Get("trace");
    const size_t write = calls.find(written);
    const size_t flush = calls.find("sync(", write);
    EXPECT_NE(write, std::string::npos) << calls;
    EXPECT_NE(flush, std::string::npos) << calls;
    EXPECT_LT(flush, calls.find(ok)) << calls;
    const size_t folder = calls.find("\".\", O_RDONLY|", flush);
    if (op == std::string("b")) {
      EXPECT_NE(calls.find("O_DIRECTORY", folder), std::string::npos) << calls;
      EXPECT_LT(calls.find("fsync(", folder), calls.find(ok)) << calls;
    } else {
      EXPECT_EQ(folder, std::string::npos) << calls;
    }
  }
}

// With standard streams closed at start, the tool's own messages must not
// land in the files it opens.
TEST_F(LinuxOnly, ClosedStandardStreams) {
  for (const auto& closed : {std::vector<int>{1}, std::vector<int>{0, 1, 2}}) {
    SCOPED_TRACE("closed descriptors: " + std::to_string(closed.size()));
    const RunOptions options = {[closed] {
                                  for (int fd : closed) close(fd);
                                },
                                {}};
    const Bytes image = MakeImage(3000, 1);
    const Bytes backup = Pattern(kBodySize, 2);
    Put("fw.img", image);
    Put("KEMBU.BIN", backup);
    EXPECT_EQ(Run("kembu r fw.img", options), "");
    ExpectFiles({{"fw.img", Restored(image, backup)}, {"KEMBU.BIN", backup}});
    EXPECT_EQ(Run("kembu b fw.img", options), "");
    ExpectFiles({{"fw.img", Restored(image, backup)}, {"KEMBU.BIN", Body(Restored(image, backup))}});
  }
}

}  // namespace
