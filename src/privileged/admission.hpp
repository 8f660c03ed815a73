#pragma once

#include <sys/types.h>

#include "common/error.hpp"

namespace quorin {

// Identifies the peer of an accepted connection by its kernel credentials and admits it
// only if its user holds an intact, root-owned authorisation marker. Returns the peer's
// process id (0 for a peer outside our pid namespace). Reads and writes nothing.
Result<pid_t> admit_client(int connection);

}  // namespace quorin
