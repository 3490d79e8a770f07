// Runs a command as on a kernel without IA-32 emulation: any process in its
// tree that makes a 32-bit x86 system call is killed (SIGSYS), so only an
// emulator can run i386 programs there. x86-64 hosts only.
#include <cstddef>
#include <cstdio>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

int main(int argc, char* argv[]) {
  if (argc < 2) { std::fprintf(stderr, "usage: no-ia32 COMMAND...\n"); return 2; }
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
  if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) { std::perror("seccomp"); return 1; }
  execvp(argv[1], argv + 1);
  std::fprintf(stderr, "no-ia32: %s: %s\n", argv[1], std::strerror(errno));
  return 127;
}
