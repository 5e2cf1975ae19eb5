// Runs a command as on the device's Linux 3.8 kernel, for the end-to-end
// tests: every system call added after 3.8 fails with ENOSYS (a seccomp
// filter the command and all its children inherit), and uname reports a
// 2.6 release (the UNAME26 personality), as libraries that look at the
// release before choosing a system call see on an old kernel.
//
//   kvoldkernel [--last-syscall N] CMD [ARGS...]
//
// N is the last system call number the kernel has: 313 (finit_module) on
// x86-64 for Linux 3.8, the default; calls of the x32 ABI fail as well.
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/personality.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#ifndef __x86_64__
#error "kvoldkernel models the x86-64 system call table"
#endif

static int install_filter(unsigned int last)
{
    struct sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JGT | BPF_K, last, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    struct sock_fprog prog = {static_cast<unsigned short>(sizeof(code) / sizeof(code[0])), code};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return -1;
    return prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog, 0, 0);
}

int main(int argc, char **argv)
{
    unsigned long last = 313;
    int first = 1;
    if (argc > 2 && strcmp(argv[1], "--last-syscall") == 0) {
        char *end = nullptr;
        last = strtoul(argv[2], &end, 10);
        if (!end || *end) {
            fprintf(stderr, "kvoldkernel: bad system call number %s\n", argv[2]);
            return 2;
        }
        first = 3;
    }
    if (first >= argc) {
        fprintf(stderr, "usage: kvoldkernel [--last-syscall N] CMD [ARGS...]\n");
        return 2;
    }
    int persona = personality(0xffffffff);
    if (persona < 0 || personality(static_cast<unsigned long>(persona) | UNAME26) < 0) {
        perror("kvoldkernel: personality");
        return 1;
    }
    if (install_filter(static_cast<unsigned int>(last)) != 0) {
        perror("kvoldkernel: seccomp");
        return 1;
    }
    execvp(argv[first], argv + first);
    fprintf(stderr, "kvoldkernel: %s: %s\n", argv[first], strerror(errno));
    return 127;
}
