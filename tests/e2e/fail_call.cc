// fail_call NUMBER ERRNO ARG MASK -- PROGRAM [ARGUMENT...]
//
// Runs the program with one system call failing with the given error, as a
// file system fails it (NFS refusing a lock, say): every call of that number
// (MASK 0), or only those whose argument ARG has a bit of MASK set. A seccomp filter
// does it, so it holds for static programs too, and under qemu-user, where
// the emulator makes the calls on the program's behalf.
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <unistd.h>

#if defined(__x86_64__)
static const unsigned kArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
static const unsigned kArch = AUDIT_ARCH_AARCH64;
#endif

int main(int argc, char** argv) {
  if (argc < 7 || strcmp(argv[5], "--") != 0) {
    fprintf(stderr, "usage: fail_call NUMBER ERRNO ARG MASK -- PROGRAM [ARGUMENT...]\n");
    return 2;
  }
  unsigned values[4];
  for (int i = 0; i < 4; ++i) values[i] = static_cast<unsigned>(strtoul(argv[i + 1], nullptr, 0));
  const auto [number, error, arg, mask] = values;

  // Little-endian: the low half of the 64-bit argument comes first.
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kArch, 0, 5),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, number, 0, 3),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS,
               static_cast<unsigned>(offsetof(seccomp_data, args) + 8 * arg)),
      BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, mask, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (error & SECCOMP_RET_DATA)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  if (mask == 0) filter[4] = filter[5] = BPF_JUMP(BPF_JMP | BPF_JA, 0, 0, 0);  // no-ops
  const sock_fprog program = {static_cast<unsigned short>(sizeof filter / sizeof filter[0]),
                              filter};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
      prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
    perror("fail_call: seccomp");
    return 2;
  }
  execv(argv[6], argv + 6);
  perror("fail_call: exec");
  return 127;
}
