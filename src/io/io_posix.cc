// Console, process and file slots over POSIX descriptors.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/run_tool.h"
#include "common/tool_state.h"
#include "io/io.h"

// Descriptor 0 is a valid one, so an empty slot holds -1.
static const SlotHandle EMPTY_SLOT = -1;

// Opens never wait (a FIFO without a writer, a device), are never inherited,
// and never make the file the controlling terminal.
static const int COMMON_OPEN_FLAGS = O_NONBLOCK | O_CLOEXEC | O_NOCTTY;

// openat, not open: musl's open follows O_CLOEXEC with an fcntl for kernels
// older than 2.6.23, one system call more per file.
static int OpenFile(const char* name, int flags) {
  return openat(AT_FDCWD, name, flags | COMMON_OPEN_FLAGS, 0666);
}

// The kernel caps all argument strings of a process together at 6 MiB, so a
// line joined from them always fits.
static const size_t LINE_BUFFER_SIZE = (6u << 20) + 64;

static int argumentCount;
static char** argumentVector;
static char commandLine[LINE_BUFFER_SIZE];

// The line begins with this word in place of the program's path.
static const char PROGRAM_WORD[] = "kembu";

int main(int argc, char** argv) {
  argumentCount = argc;
  argumentVector = argv;
  RunTool();
}

// A standard descriptor that is closed at start would be handed out by the
// next open; the tool would then print into the image or the backup file.
static void FillClosedStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      if (open("/dev/null", O_RDWR | O_NOCTTY) != fd) _exit(0);
    }
  }
}

void StartPlatform() {
  FillClosedStandardDescriptors();
  // A reader that went away must not end the run in the middle of a write.
  // Ignoring SIGPIPE cannot fail.
  (void)signal(SIGPIPE, SIG_IGN);
  toolState.inputSlot = EMPTY_SLOT;
  toolState.outputSlot = EMPTY_SLOT;
  toolState.standardOutput = STDOUT_FILENO;
}

// The line is "kembu", then each argument after one space, bytes unchanged.
const char* GetRawCommandLine() {
  size_t length = sizeof PROGRAM_WORD - 1;
  memcpy(commandLine, PROGRAM_WORD, length);
  for (int i = 1; i < argumentCount; ++i) {
    const size_t argumentLength = strlen(argumentVector[i]);
    if (argumentLength + 1 >= LINE_BUFFER_SIZE - length) {
      // GCOVR_EXCL_START: no test can pass more than the kernel's cap
      length = sizeof PROGRAM_WORD - 1;  // cannot happen; never cut a name
      break;
      // GCOVR_EXCL_STOP
    }
    commandLine[length++] = ' ';
    memcpy(commandLine + length, argumentVector[i], argumentLength);
    length += argumentLength;
  }
  commandLine[length] = '\0';
  return commandLine;
}

void EndProcess() { _exit(0); }

void PrintText(const char* text) {
  const ssize_t ignored = write(static_cast<int>(toolState.standardOutput), text, strlen(text));
  (void)ignored;
}

// Errors of a file system that cannot lock, or test locks, at all.
static bool CannotLock(int error) {
  return error == ENOLCK || error == EOPNOTSUPP || error == EINVAL || error == ENOSYS;
}

// Locks the file without waiting: exclusively where the file system allows
// it; shared where it refuses an exclusive lock on a descriptor open for
// reading (NFS), which still keeps out a writer that locks; and not at all
// where it cannot lock (NFS without a lock service, some FUSE mounts).
// Then makes sure no other process holds a POSIX or open-file-description
// lock that keeps out `use` (F_RDLCK to read, F_WRLCK to write or delete).
// F_GETLK asks without taking a lock: it never reports this process's own
// locks (NFS carries out flock as one), and needs no second descriptor,
// whose close would drop them. Returns 0, or the error of the lock that
// failed: EWOULDBLOCK when another process holds one.
static int Lock(int fd, short use) {  // NOLINT(bugprone-easily-swappable-parameters)
  const bool locked = flock(fd, LOCK_EX | LOCK_NB) == 0 ||
                      (errno == EBADF && flock(fd, LOCK_SH | LOCK_NB) == 0);
  if (!locked && !CannotLock(errno)) return errno;
  struct flock probe = {};
  probe.l_type = use;
  probe.l_whence = SEEK_SET;  // from the start to the end of the file, however long
  if (fcntl(fd, F_GETLK, &probe) != 0) return CannotLock(errno) ? 0 : errno;
  return probe.l_type == F_UNLCK ? 0 : EWOULDBLOCK;
}

// Opens the file and locks it; a directory is refused, as it is on Windows,
// and so is a file deleted before the lock was taken: what is written to it
// is lost. Returns the descriptor or -1.
static int OpenLocked(const char* name, int flags) {
  const int fd = OpenFile(name, flags);
  if (fd == -1) return -1;
  struct stat status;
  const short use = (flags & O_ACCMODE) == O_RDONLY ? F_RDLCK : F_WRLCK;
  if (Lock(fd, use) != 0 || fstat(fd, &status) != 0 || S_ISDIR(status.st_mode) ||
      status.st_nlink == 0) {
    close(fd);
    return -1;
  }
  return fd;
}

static bool FillSlot(SlotHandle* slot, int fd) {
  if (fd == -1) return false;
  *slot = fd;
  return true;
}

bool OpenInput(const char* name) {
  return FillSlot(&toolState.inputSlot, OpenLocked(name, O_RDONLY));
}

bool OpenOutput(const char* name) {
  return FillSlot(&toolState.outputSlot, OpenLocked(name, O_WRONLY));
}

bool CreateOutput(const char* name) {
  // O_EXCL refuses any existing name, a symbolic link included.
  int fd = OpenLocked(name, O_WRONLY | O_CREAT | O_EXCL);
  if (fd == -1) {
    // Emptied only once locked, so a file another run holds stays whole.
    fd = OpenLocked(name, O_WRONLY | O_NOFOLLOW);
    if (fd != -1 && ftruncate(fd, 0) != 0) {
      close(fd);
      fd = -1;
    }
  }
  return FillSlot(&toolState.outputSlot, fd);
}

static IoResult ToIoResult(ssize_t moved) {
  IoResult result;
  result.failed = moved < 0;
  result.count = moved < 0 ? 0 : static_cast<uint32_t>(moved);
  return result;
}

IoResult ReadInput(void* buffer, uint32_t count) {
  return ToIoResult(read(static_cast<int>(toolState.inputSlot), buffer, count));
}

IoResult WriteOutput(const void* buffer, uint32_t count) {
  return ToIoResult(write(static_cast<int>(toolState.outputSlot), buffer, count));
}

bool FlushOutput() { return fsync(static_cast<int>(toolState.outputSlot)) == 0; }

// As SQLite does for its journal's folder: a folder that cannot be opened or
// flushed (some file systems refuse an fsync of a directory) fails nothing.
void SyncCurrentFolder() {
  const int fd = OpenFile(".", O_RDONLY | O_DIRECTORY);
  if (fd == -1) return;
  const int ignored = fsync(fd);
  (void)ignored;
  close(fd);
}

static void EmptySlot(SlotHandle* slot) {
  if (*slot == EMPTY_SLOT) return;
  close(static_cast<int>(*slot));
  *slot = EMPTY_SLOT;
}

void CloseInput() { EmptySlot(&toolState.inputSlot); }

void CloseOutput() { EmptySlot(&toolState.outputSlot); }

// A regular file another process holds locked stays, as on Windows, where a
// file open without delete sharing cannot be deleted: the holder may be a
// backup that is about to report it as written. Only regular files are
// opened, since opening a device can act on it.
void DeleteNamedFile(const char* name) {
  struct stat status;
  const bool regular = lstat(name, &status) == 0 && S_ISREG(status.st_mode);
  int fd = -1;
  if (regular) {
    fd = OpenFile(name, O_RDONLY | O_NOFOLLOW);
    if (fd != -1 && Lock(fd, F_WRLCK) == EWOULDBLOCK) {
      close(fd);
      return;
    }
  }
  // Unlinked while still locked, so no other run takes the file meanwhile.
  const bool deleted = unlink(name) == 0 || errno == ENOENT;
  if (fd != -1) close(fd);
  if (deleted || !regular) return;
  // What cannot be deleted is emptied where it can be, under a lock of its own.
  fd = OpenLocked(name, O_WRONLY | O_NOFOLLOW);
  if (fd == -1) return;
  const int ignored = ftruncate(fd, 0);
  (void)ignored;
  close(fd);
}

bool IsSameFile(const char* nameA, const char* nameB) {
  struct stat a;
  struct stat b;
  if (stat(nameA, &a) != 0 || stat(nameB, &b) != 0) return false;
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Names are bytes here and reach the file system unchanged, quotation marks
// included. But the line that the scan reads was joined from the arguments,
// and the scan cuts the name short of what the user typed in two ways: a
// byte below 0x20 ends the line (any such byte in it comes after the letter
// the scan found), and the spaces before the name are skipped, also when
// they begin the name's own argument. Either way the name left may be
// another file's. The name stays as it is (Windows' answer changes it).
const char* UsableImageName(char* name) {  // NOLINT(readability-non-const-parameter)
  for (const char* byte = commandLine; *byte; ++byte) {
    if (static_cast<unsigned char>(*byte) < 0x20) return nullptr;
  }
  const size_t nameStart = strlen(commandLine) - strlen(name);
  size_t argumentStart = sizeof PROGRAM_WORD;  // the word and a space
  for (int i = 1; i < argumentCount; ++i) {
    const char* argument = argumentVector[i];
    const size_t length = strlen(argument);
    if (nameStart < argumentStart + length) {
      const size_t before = nameStart - argumentStart;
      return before > 0 && strspn(argument, " ") == before ? nullptr : name;
    }
    argumentStart += length + 1;
  }
  return name;
}
