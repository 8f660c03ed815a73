#include "common/syscall_filter.hpp"

#include <linux/audit.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/syscall.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorin {

namespace {

#if defined(__x86_64__)
constexpr uint32_t NATIVE_ARCH = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr uint32_t NATIVE_ARCH = AUDIT_ARCH_AARCH64;
#else
#error "the cores' system-call filter knows no numbers for this architecture"
#endif

constexpr std::array REFUSED = {
    SYS_ptrace,
    SYS_process_vm_readv,
    SYS_process_vm_writev,
    SYS_pidfd_getfd,
    SYS_kcmp,
    SYS_open_by_handle_at,
    SYS_keyctl,
    SYS_add_key,
    SYS_request_key,
    SYS_bpf,
    SYS_perf_event_open,
    SYS_userfaultfd,
    SYS_unshare,
    SYS_setns,
    SYS_mount,
    SYS_umount2,
    SYS_pivot_root,
    SYS_fsopen,
    SYS_fsconfig,
    SYS_fsmount,
    SYS_fspick,
    SYS_move_mount,
    SYS_open_tree,
    SYS_mount_setattr,
    SYS_init_module,
    SYS_finit_module,
    SYS_delete_module,
    SYS_swapon,
    SYS_swapoff,
    SYS_reboot,
    SYS_kexec_load,
    SYS_kexec_file_load,
    SYS_settimeofday,
    SYS_clock_settime,
    SYS_clock_adjtime,
    SYS_adjtimex,
};

// clone may not make namespaces either (unshare is refused above); clone3 hides its
// flags in memory the filter cannot read, so it answers as an old kernel would and the C
// library falls back to clone.
constexpr uint32_t NAMESPACE_FLAGS =
    CLONE_NEWNS | CLONE_NEWCGROUP | CLONE_NEWUTS | CLONE_NEWIPC | CLONE_NEWUSER | CLONE_NEWPID | CLONE_NEWNET;

constexpr uint32_t ARCH_OFFSET = offsetof(seccomp_data, arch);
constexpr uint32_t NUMBER_OFFSET = offsetof(seccomp_data, nr);
// The low half of the first argument on a little-endian machine.
constexpr uint32_t FIRST_ARGUMENT_OFFSET = offsetof(seccomp_data, args);

sock_filter statement(uint16_t code, uint32_t k) { return BPF_STMT(code, k); }
sock_filter jump(uint16_t code, uint32_t k, uint8_t if_true, uint8_t if_false) {
    return BPF_JUMP(code, k, if_true, if_false);
}

std::vector<sock_filter> build_program() {
    std::vector<sock_filter> program;
    program.push_back(statement(BPF_LD | BPF_W | BPF_ABS, ARCH_OFFSET));
    program.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, NATIVE_ARCH, 1, 0));
    program.push_back(statement(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS));
    program.push_back(statement(BPF_LD | BPF_W | BPF_ABS, NUMBER_OFFSET));
#if defined(__x86_64__)
    // x32 shares the architecture value and marks its numbers with this bit.
    program.push_back(jump(BPF_JMP | BPF_JGE | BPF_K, __X32_SYSCALL_BIT, 0, 1));
    program.push_back(statement(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS));
#endif
    // Each refused number jumps to the EPERM return at the end of the list.
    const auto refused = static_cast<uint8_t>(REFUSED.size());
    for (uint8_t index = 0; index < refused; ++index) {
        const auto to_refusal = static_cast<uint8_t>(refused - index + 5);
        program.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(REFUSED[index]), to_refusal, 0));
    }
    program.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, SYS_clone3, 0, 1));
    program.push_back(statement(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS));
    program.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, SYS_clone, 0, 2));
    program.push_back(statement(BPF_LD | BPF_W | BPF_ABS, FIRST_ARGUMENT_OFFSET));
    program.push_back(jump(BPF_JMP | BPF_JSET | BPF_K, NAMESPACE_FLAGS, 1, 0));
    program.push_back(statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    program.push_back(statement(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM));
    return program;
}

}  // namespace

const sock_fprog& core_syscall_filter() {
    static std::vector<sock_filter> program = build_program();
    static const sock_fprog filter{.len = static_cast<unsigned short>(program.size()), .filter = program.data()};
    return filter;
}

}  // namespace quorin
