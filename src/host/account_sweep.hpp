#pragma once

#include <sys/types.h>

#include <cstddef>

namespace quorin {

// Ends every process of the cores' account: one short child with the account's uid and
// gid, no capabilities and no new privileges sends SIGKILL to all it may signal, which is
// exactly that uid's processes, and the kernel does it under the lock fork takes, so a
// process that forks away from its pid in a loop is ended too. Then confirms, in a few
// rounds at most, that none is left. Returns how many processes were found running;
// best-effort and quiet otherwise. A missing account, or one that core_credentials()
// refuses, has nothing to end.
size_t end_account_processes();

// The same at a session boundary, with the journal line "Quorin helper: ended N
// processes the core left running" when there was anything to end.
void end_core_leftovers();

}  // namespace quorin
