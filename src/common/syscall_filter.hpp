#pragma once

#include <linux/filter.h>

namespace quorin {

// The system calls a core never needs and an attacker inside one would want: reading or
// writing other processes (ptrace, process_vm_*, pidfd_getfd, kcmp), new namespaces and
// mounts, the kernel's keyrings, BPF and perf, modules, swap, reboot and the clocks. Each
// is refused with EPERM, so that a core that probes for one carries on; a call made
// through another architecture's table (x32 included) ends the process, since the
// numbers checked are this architecture's. Built once, before any child runs, so that
// the child only hands it to the kernel.
const sock_fprog& core_syscall_filter();

}  // namespace quorin
