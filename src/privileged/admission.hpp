#pragma once

#include "common/error.hpp"
#include "privileged/session.hpp"

namespace quorin {

// Admission's refusals; quorinctl recognises them.
inline constexpr const char* NOT_AUTHORISED = "пользователь не прошёл одноразовую настройку";
inline constexpr const char* DAMAGED_MARKER = "повреждён маркер авторизации Quorin";

// Identifies the peer of an accepted connection by its kernel credentials and admits it
// only if its user holds an intact, root-owned authorisation marker. Returns the peer's
// process id (0 for a peer outside our pid namespace), its user id and, for a peer in
// our namespace, the means to a handle on the process that connected: the connection
// itself, or (on kernels before 6.5) the handle. Reads and writes nothing.
Result<ClientProcess> admit_client(int connection);

}  // namespace quorin
