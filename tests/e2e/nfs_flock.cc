// Preloaded into the dynamic program: flock carried out as an NFS client
// does, as a POSIX lock of the whole file held by the process. An exclusive
// lock then needs a descriptor open for writing (EBADF otherwise), and any
// close of the file drops the process's locks on it.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>

extern "C" int flock(int fd, int operation) {
  struct flock lock = {};
  lock.l_type = (operation & LOCK_UN) ? F_UNLCK : (operation & LOCK_EX) ? F_WRLCK : F_RDLCK;
  lock.l_whence = SEEK_SET;
  if (fcntl(fd, (operation & LOCK_NB) ? F_SETLK : F_SETLKW, &lock) == 0) return 0;
  if (errno == EACCES || errno == EAGAIN) errno = EWOULDBLOCK;
  return -1;
}
