// Linked into kembu in coverage builds only (KEMBU_COVERAGE), together with
// -Wl,--wrap=_exit. kembu ends with _exit, which skips the write-out of the
// coverage counters that exit() would do; here every _exit of the program
// writes them first.
#include <sys/resource.h>

extern "C" {
void __gcov_dump(void);
[[noreturn]] void __real__exit(int status);

[[noreturn]] void __wrap__exit(int status) {
  // A test may have capped the file size to make kembu's own writes come
  // back short; the counter files must still be written whole.
  rlimit limit;
  if (getrlimit(RLIMIT_FSIZE, &limit) == 0) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  __gcov_dump();
  __real__exit(status);
}
}
