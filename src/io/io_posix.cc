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

void PrintBytes(const char* text, uint32_t length) {
  const ssize_t ignored = write(static_cast<int>(toolState.standardOutput), text, length);
  (void)ignored;
}

// Errors of a file system that cannot lock, or test locks, at all.
static bool CannotLock(int error) {
  return error == ENOLCK || error == EOPNOTSUPP || error == EINVAL || error == ENOSYS;
}

// Locks the file without waiting, or (with F_GETLK) only looks whether
// another process holds a lock that keeps out `type`. Two kinds of lock, as
// programs lock files in two ways that do not see each other's locks:
// - flock, exclusive where the file system allows it; shared where it refuses
//   an exclusive lock on a descriptor open for reading (NFS), which still
//   keeps out a writer that locks;
// - a POSIX record lock of the whole file (F_RDLCK to read, F_WRLCK to write),
//   which keeps out POSIX and open-file-description lockers. It never
//   conflicts with this process's own POSIX locks, as NFS's flock is one, and
//   the process closes no other descriptor of the file while it holds it:
//   any close would drop it.
// Either is skipped where the file system cannot lock at all (NFS without a
// lock service, some FUSE mounts). Returns 0, or the error of the lock that
// failed: EWOULDBLOCK when another process holds one.
static int Lock(int fd, int command, short type) {  // NOLINT(bugprone-easily-swappable-parameters)
  const bool locked = flock(fd, LOCK_EX | LOCK_NB) == 0 ||
                      (errno == EBADF && flock(fd, LOCK_SH | LOCK_NB) == 0);
  if (!locked && !CannotLock(errno)) return errno;
  struct flock range = {};
  range.l_type = type;
  range.l_whence = SEEK_SET;  // from the start to the end of the file, however long
  if (fcntl(fd, command, &range) != 0) {
    if (CannotLock(errno)) return 0;
    return errno == EACCES || errno == EAGAIN ? EWOULDBLOCK : errno;
  }
  return command == F_SETLK || range.l_type == F_UNLCK ? 0 : EWOULDBLOCK;
}

// A file as the system tells one from another.
struct FileId {
  dev_t device;
  ino_t inode;
};

// The open file's identity; false for a directory, refused as on Windows.
static bool Identify(int fd, FileId* id) {
  struct stat status;
  if (fstat(fd, &status) != 0 || S_ISDIR(status.st_mode)) return false;
  *id = {status.st_dev, status.st_ino};
  return true;
}

// True when the name names that file now. A file renamed over it, or its
// deletion, since it was opened would leave what is written to it under no
// name, or another: only the name's file counts.
static bool Names(const char* name, const FileId& id) {
  struct stat status;
  return stat(name, &status) == 0 && status.st_dev == id.device && status.st_ino == id.inode;
}

// Opens the file, locks it for what it is opened for, and makes sure it is
// still the name's; *id tells the file. Returns the descriptor, or -1 with
// errno set to the open's or the lock's error (0: the name names another
// file now).
static int OpenLocked(const char* name, int flags, FileId* id) {
  const int fd = OpenFile(name, flags);
  if (fd == -1) return -1;
  const short type = (flags & O_ACCMODE) == O_RDONLY ? F_RDLCK : F_WRLCK;
  const int error = Lock(fd, F_SETLK, type);
  if (error != 0 || !Identify(fd, id) || !Names(name, *id)) {
    close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

// The files in the input and output slots.
static FileId inputFile;
static FileId outputFile;

static bool FillSlot(SlotHandle* slot, int fd) {
  if (fd == -1) return false;
  *slot = fd;
  return true;
}

bool OpenInput(const char* name) {
  return FillSlot(&toolState.inputSlot, OpenLocked(name, O_RDONLY, &inputFile));
}

// Whether the input slot's file is open for writing too.
static bool inputWritable;

// Writing may be refused by the file's rights, the mount, a program running
// from the file, or another process's read lock; the file is then opened for
// reading only.
bool OpenInputForUpdate(const char* name) {
  int fd = OpenLocked(name, O_RDWR, &inputFile);
  inputWritable = fd != -1;
  if (!inputWritable && (errno == EACCES || errno == EPERM || errno == EROFS ||
                         errno == ETXTBSY || errno == EWOULDBLOCK)) {
    fd = OpenLocked(name, O_RDONLY, &inputFile);
  }
  return FillSlot(&toolState.inputSlot, fd);
}

static void EmptySlot(SlotHandle* slot) {
  if (*slot == EMPTY_SLOT) return;
  close(static_cast<int>(*slot));
  *slot = EMPTY_SLOT;
}

void MoveInputToOutput() {
  if (inputWritable) {
    toolState.outputSlot = toolState.inputSlot;
    toolState.inputSlot = EMPTY_SLOT;
    outputFile = inputFile;
  }
  EmptySlot(&toolState.inputSlot);
}

bool OutputIsNamed(const char* name) {
  return toolState.outputSlot != EMPTY_SLOT && Names(name, outputFile);
}

bool CreateOutput(const char* name) {
  // O_EXCL refuses any existing name, a symbolic link included.
  int fd = OpenLocked(name, O_WRONLY | O_CREAT | O_EXCL, &outputFile);
  if (fd == -1) {
    // Emptied only once locked, so a file another run holds stays whole.
    fd = OpenLocked(name, O_WRONLY | O_NOFOLLOW, &outputFile);
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
  return ToIoResult(pwrite(static_cast<int>(toolState.outputSlot), buffer, count, 0));
}

bool FlushOutput() { return fsync(static_cast<int>(toolState.outputSlot)) == 0; }

// A folder that cannot be opened for reading (write and search rights only),
// no descriptor left, or a file system that cannot flush a folder fail
// nothing, as for SQLite's journal; an I/O error does.
bool SyncCurrentFolder() {
  const int fd = OpenFile(".", O_RDONLY | O_DIRECTORY);
  if (fd == -1) return errno == EACCES || errno == EPERM || errno == EMFILE || errno == ENFILE;
  const bool flushed = fsync(fd) == 0 || errno == EINVAL || errno == EROFS ||
                       errno == EOPNOTSUPP || errno == ENOSYS;
  close(fd);
  return flushed;
}

void CloseInput() { EmptySlot(&toolState.inputSlot); }

void CloseOutput() { EmptySlot(&toolState.outputSlot); }

// A regular file another process holds locked stays, as on Windows, where a
// file open without delete sharing cannot be deleted: the holder may be a
// backup that is about to report it as written. So does one whose locks
// cannot be looked at (another user's file kembu may not open, a lock call
// that fails): it may be held just the same. The name is deleted only while
// it still names the file looked at, which another run may have deleted and
// made anew meanwhile: with no file there now, there is nothing to delete,
// and one that another run creates next must stay. Only regular files are
// opened, since opening a device can act on it.
void DeleteNamedFile(const char* name) {
  struct stat status;
  if (lstat(name, &status) != 0) return;
  const bool regular = S_ISREG(status.st_mode);
  int fd = -1;
  FileId file;
  if (regular) {
    fd = OpenFile(name, O_RDONLY | O_NOFOLLOW);
    if (fd == -1) return;
    if (Lock(fd, F_GETLK, F_WRLCK) != 0 || !Identify(fd, &file) || !Names(name, file)) {
      close(fd);
      return;
    }
  }
  // Unlinked while still locked, so no other run takes the file meanwhile.
  const bool deleted = unlink(name) == 0 || errno == ENOENT;
  if (fd != -1) close(fd);
  if (deleted || !regular) return;
  // What cannot be deleted is emptied where it can be, under a lock of its own.
  fd = OpenLocked(name, O_WRONLY | O_NOFOLLOW, &file);
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
// they begin the name's own argument, or make up all of it (the name is then
// empty). Either way the name left may be another file's. The name stays as
// it is (Windows' answer changes it).
const char* UsableImageName(char* name) {  // NOLINT(readability-non-const-parameter)
  for (const char* byte = commandLine; *byte; ++byte) {
    if (static_cast<unsigned char>(*byte) < 0x20) return nullptr;
  }
  // The name's argument is the last one that starts where the name does, or
  // before it.
  const size_t nameStart = strlen(commandLine) - strlen(name);
  size_t argumentStart = sizeof PROGRAM_WORD;  // the word and a space
  const char* argument = "";
  size_t before = 0;
  for (int i = 1; i < argumentCount && argumentStart <= nameStart; ++i) {
    argument = argumentVector[i];
    before = nameStart - argumentStart;
    argumentStart += strlen(argument) + 1;
  }
  return before > 0 && strspn(argument, " ") == before ? nullptr : name;
}
