// Preloaded into the dynamic program: flock carried out as the NFS client
// does, as a lock of the whole file on the server, owned by the open file.
// Played by an open-file-description lock: it conflicts with every other
// owner's record lock, the process's own POSIX locks included, and an
// exclusive one needs a descriptor open for writing (EBADF otherwise).
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>

extern "C" int flock(int fd, int operation) {
  struct flock lock = {};
  lock.l_type = (operation & LOCK_UN) ? F_UNLCK : (operation & LOCK_EX) ? F_WRLCK : F_RDLCK;
  lock.l_whence = SEEK_SET;
  if (fcntl(fd, (operation & LOCK_NB) ? F_OFD_SETLK : F_OFD_SETLKW, &lock) == 0) return 0;
  if (errno == EACCES || errno == EAGAIN) errno = EWOULDBLOCK;
  return -1;
}
