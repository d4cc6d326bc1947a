// Console, process and file slots over POSIX descriptors. The functions
// come in io.h's order, as in io_win32.cc.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/tool_state.h"
#include "io/io.h"

// Descriptor 0 is a valid one, so an empty slot holds -1.
static const SlotHandle EMPTY_SLOT = -1;

// A standard descriptor that is closed at start would be handed out by the
// next open; the tool would then print into the image or the backup file.
// The null device fills it, or where there is none (a bare chroot) the root
// folder, which every process can open for no access at all.
static void FillClosedStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    int filled = open("/dev/null", O_RDWR | O_NOCTTY);
    if (filled == -1) filled = open("/", O_PATH);
    if (filled != fd) _exit(0);  // GCOVR_EXCL_LINE: the lowest free one, and / always opens so
  }
}

void StartPlatform() {
  FillClosedStandardDescriptors();
  // A reader that went away, or a file size limit, must not end the run in
  // the middle of a write: blocked, these signals only stay pending, and the
  // write fails instead. Blocking them cannot fail.
  sigset_t blocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGPIPE);
  sigaddset(&blocked, SIGXFSZ);
  sigprocmask(SIG_BLOCK, &blocked, nullptr);
  toolState.inputSlot = EMPTY_SLOT;
  toolState.outputSlot = EMPTY_SLOT;
  toolState.standardOutput = STDOUT_FILENO;
}

static int argumentCount;
static char** argumentVector;

void KeepArguments(int count, char** vector) {
  argumentCount = count;
  argumentVector = vector;
}

static const char* commandLine = "";
static const char* lineEnd;  // the line's terminating zero, once every argument is in it

// The kernel lays the arguments out one after another, each ended by a
// zero. Those zeros, from the program name's on, become spaces: the line is
// made in place, a space (where the scan passes over the program's name)
// then each argument after one space, bytes unchanged. It ends before an
// argument that does not follow on, and the name check then refuses the name.
const char* GetRawCommandLine() {
  if (argumentCount < 2) return commandLine;
  char* end = argumentVector[0] + strlen(argumentVector[0]);
  commandLine = end;
  for (int i = 1; i < argumentCount; ++i) {
    if (end + 1 != argumentVector[i]) return commandLine;  // GCOVR_EXCL_LINE: never on Linux
    *end = ' ';
    end = argumentVector[i] + strlen(argumentVector[i]);
  }
  lineEnd = end;
  return commandLine;
}

// Names are bytes here and reach the file system unchanged. But the line was
// joined from the arguments, and the scan cuts the name short of what the
// user typed in three ways: a byte below 0x20 ends the line (any such byte
// in it comes after the letter the scan found), an argument that does not
// follow on ends it too, and the spaces before the name are skipped, also
// when they begin the name's own argument, or make up all of it (the name is
// then empty, and empty arguments after it change nothing). Either way the
// name left may be another file's.
bool IsNameAsTyped(const char* name) {
  if (!lineEnd) return false;  // GCOVR_EXCL_LINE: Linux joins them all
  for (const char* byte = commandLine; byte < lineEnd; ++byte) {
    if (static_cast<unsigned char>(*byte) < 0x20) return false;
  }
  // The name's argument is the last one that is not empty and starts where
  // the name does, or before it.
  const char* const nameStart = lineEnd - strlen(name);
  const char* argument = nameStart;
  size_t length = 0;
  for (int i = 1; i < argumentCount && argumentVector[i] <= nameStart; ++i) {
    const char* const next = i + 1 < argumentCount ? argumentVector[i + 1] - 1 : lineEnd;
    if (next == argumentVector[i]) continue;
    argument = argumentVector[i];
    length = static_cast<size_t>(next - argument);
  }
  const size_t skipped = static_cast<size_t>(nameStart - argument);
  const size_t before = skipped < length ? skipped : length;
  return before == 0 || strspn(argument, " ") < before;
}

// A quotation mark is a byte like any other in a file name.
bool FileNamesHoldQuotes() { return true; }

void EndProcess() { _exit(0); }

void PrintBytes(const char* text, uint32_t length) {
  const ssize_t ignored = write(static_cast<int>(toolState.standardOutput), text, length);
  (void)ignored;
}

// Opens never wait (a FIFO without a writer, a device), are never inherited,
// and never make the file the controlling terminal. openat, not open: musl's
// open follows O_CLOEXEC with an fcntl for kernels older than 2.6.23, one
// system call more per file.
static int OpenFile(const char* name, int flags) {
  return openat(AT_FDCWD, name, flags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0666);
}

// Errors of a file system that cannot lock, or test locks, at all.
static bool CannotLock(int error) {
  return error == ENOLCK || error == EOPNOTSUPP || error == EINVAL || error == ENOSYS;
}

// A record lock of the whole file, taken (F_OFD_SETLK) or only tested
// (F_OFD_GETLK: does another holder keep out this type?). Its owner is the
// open file, as NFS's flock is: on the server the two are one lock of one
// owner, where a process's POSIX lock would be a second owner that conflicts.
// Kernels before 3.15 know no such locks (EINVAL) and get POSIX ones, which
// the process closes no other descriptor of the file to lose. Returns 0, or
// the error: EWOULDBLOCK when another holder keeps this one out.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
static int RecordLock(int fd, int command, short type) {
  struct flock range = {};
  range.l_type = type;
  range.l_whence = SEEK_SET;  // from the start to the end of the file, however long
  int result = fcntl(fd, command, &range);
  if (result != 0 && errno == EINVAL) {
    result = fcntl(fd, command == F_OFD_GETLK ? F_GETLK : F_SETLK, &range);
  }
  if (result != 0) {
    if (CannotLock(errno)) return 0;
    return errno == EACCES || errno == EAGAIN ? EWOULDBLOCK : errno;
  }
  return command == F_OFD_GETLK && range.l_type != F_UNLCK ? EWOULDBLOCK : 0;
}

// Locks the file without waiting, or (F_OFD_GETLK) only looks whether
// another holder keeps out `type`. Two kinds of lock, as programs lock files
// in two ways that do not see each other's locks on a local disk: a record
// lock (F_RDLCK to read, F_WRLCK to write), which keeps out POSIX and
// open-file-description lockers, then flock, exclusive. The record lock
// comes first: on NFS both are one lock on the server, and an exclusive
// flock after it makes it a write lock; a read lock after the flock would
// turn it back into one that readers share. Where NFS 4 refuses an exclusive
// flock on a descriptor open for reading (EBADF), a shared one still keeps
// out writers that lock. Either kind is skipped where the file system cannot
// lock at all (NFS without a lock service, some FUSE mounts). Returns 0, or
// the error of the lock that failed: EWOULDBLOCK when another process holds
// one.
static int Lock(int fd, int command, short type) {  // NOLINT(bugprone-easily-swappable-parameters)
  const int error = RecordLock(fd, command, type);
  if (error != 0) return error;
  const bool locked = flock(fd, LOCK_EX | LOCK_NB) == 0 ||
                      (errno == EBADF && flock(fd, LOCK_SH | LOCK_NB) == 0);
  return locked || CannotLock(errno) ? 0 : errno;
}

// A file as the system tells one from another, and its owner.
struct FileId {
  dev_t device;
  ino_t inode;
  uid_t owner;
};

// The identity of the regular file that the descriptor, or the name, leads
// to; false for anything else. A folder is refused as on Windows, and a
// device, whose first bytes a restore would overwrite, as Windows refuses
// volumes and drives.
static bool FromStatus(const struct stat& status, FileId* id) {
  if (!S_ISREG(status.st_mode)) return false;
  *id = {status.st_dev, status.st_ino, status.st_uid};
  return true;
}
static bool Identify(int fd, FileId* id) {
  struct stat status;
  return fstat(fd, &status) == 0 && FromStatus(status, id);
}
static bool IdentifyNamed(const char* name, FileId* id) {
  struct stat status;
  return stat(name, &status) == 0 && FromStatus(status, id);
}

// True when the name names that file now. A file renamed over it, or its
// deletion, since it was opened would leave what is written to it under no
// name, or another: only the name's file counts.
static bool Names(const char* name, const FileId& id) {
  FileId named;
  return IdentifyNamed(name, &named) && named.device == id.device && named.inode == id.inode;
}

// The files in the input and output slots.
static FileId inputFile;
static FileId outputFile;

// Opens the regular file into the slot, locks it for what it is opened for,
// and makes sure it is still the name's; *id tells the file. Only a regular
// file is opened: opening a device can act on it (a serial port resets the
// board behind it), so the name is looked at first, and the open checked
// again by its descriptor. False on failure, with errno set to the open's or
// the lock's error (0: no regular file, or the name names another file now).
// A file that O_CREAT made and then could not lock goes again, unless another
// process holds it now: no empty file is left behind.
static bool OpenIntoSlot(SlotHandle* slot, const char* name, int flags, FileId* id) {
  if (!(flags & O_CREAT) && !IdentifyNamed(name, id)) {
    errno = 0;
    return false;
  }
  const int fd = OpenFile(name, flags);
  if (fd == -1) return false;
  const short type = (flags & O_ACCMODE) == O_RDONLY ? F_RDLCK : F_WRLCK;
  const int error = Lock(fd, F_OFD_SETLK, type);
  const bool named = Identify(fd, id) && Names(name, *id);
  if (error == 0 && named) {
    *slot = fd;
    return true;
  }
  if ((flags & O_CREAT) && named && error != EWOULDBLOCK) unlink(name);
  close(fd);
  errno = error;
  return false;
}

bool OpenInput(const char* name) {
  return OpenIntoSlot(&toolState.inputSlot, name, O_RDONLY, &inputFile);
}

// Whether the input slot's file is open for writing too.
static bool inputWritable;

// Writing may be refused by the file's rights, the mount, a program running
// from the file, or another process's read lock; the file is then opened for
// reading only.
bool OpenInputForUpdate(const char* name) {
  inputWritable = OpenIntoSlot(&toolState.inputSlot, name, O_RDWR, &inputFile);
  if (inputWritable) return true;
  return (errno == EACCES || errno == EPERM || errno == EROFS || errno == ETXTBSY ||
          errno == EWOULDBLOCK) &&
         OpenInput(name);
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

// Opens the user's own file into the slot for writing and empties it once
// locked, so that a file another run holds stays whole; another user's
// file, which kembu could not delete, is no one's to reuse (in a folder that
// all may change and only owners delete from, it is still its owner's).
static bool OpenOwnEmptied(SlotHandle* slot, const char* name, FileId* id) {
  if (!OpenIntoSlot(slot, name, O_WRONLY | O_NOFOLLOW, id)) return false;
  if (id->owner == geteuid() && ftruncate(static_cast<int>(*slot), 0) == 0) return true;
  EmptySlot(slot);
  return false;
}

bool CreateOutput(const char* name) {
  // O_EXCL refuses any existing name, a symbolic link included.
  return OpenIntoSlot(&toolState.outputSlot, name, O_WRONLY | O_CREAT | O_EXCL, &outputFile) ||
         OpenOwnEmptied(&toolState.outputSlot, name, &outputFile);
}

// Unlinked while still held and locked; the folder is flushed so that the
// file does not come back after a power cut, where the disk still writes.
void DiscardOutput(const char* name) {
  if (OutputIsNamed(name)) unlink(name);
  CloseOutput();
  (void)SyncCurrentFolder();
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
// opened, since opening a device can act on it; for writing where it may
// be, as NFS 4 gives only a file open for writing an exclusive flock, which
// finds every other holder.
void DeleteNamedFile(const char* name) {
  struct stat status;
  if (lstat(name, &status) != 0) return;
  const bool regular = S_ISREG(status.st_mode);
  int fd = -1;
  FileId file;
  if (regular) {
    fd = OpenFile(name, O_RDWR | O_NOFOLLOW);
    if (fd == -1) fd = OpenFile(name, O_RDONLY | O_NOFOLLOW);
    if (fd == -1) return;
    if (Lock(fd, F_OFD_GETLK, F_WRLCK) != 0 || !Identify(fd, &file) || !Names(name, file)) {
      close(fd);
      return;
    }
  }
  // Unlinked while still locked, so no other run takes the file meanwhile.
  const bool deleted = unlink(name) == 0 || errno == ENOENT;
  if (fd != -1) close(fd);
  if (deleted || !regular) return;
  // What cannot be deleted is emptied where it can be.
  SlotHandle emptied = EMPTY_SLOT;
  if (OpenOwnEmptied(&emptied, name, &file)) EmptySlot(&emptied);
}

bool IsSameFile(const char* nameA, const char* nameB) {
  FileId a;
  return IdentifyNamed(nameA, &a) && Names(nameB, a);
}

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
