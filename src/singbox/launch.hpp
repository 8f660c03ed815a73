#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "common/error.hpp"
#include "common/unique_fd.hpp"
#include "privileged/session.hpp"
#include "windows_tun_config/singbox_config.hpp"

namespace quorin {

// The request's parameters; the host names and route exclusions in `tun` are derived
// from `servers` when the document is generated.
struct SingboxStart {
    TunParameters tun{};
    ServerList servers{};
};

// Checks the ranges, finds sing-box, replaces the running session and waits until the
// core has both announced its start and created its interface. On success the slot
// holds the new, still unowned session.
Result<void> start_singbox_session(SessionSlot& slot, const SingboxStart& start);

// Body of the "sing-box-log" thread: forwards sing-box's standard error line by line to
// `sink` (INFO records are dropped once the start line has gone by) and sets `started`
// when the start line appears. Returns at the end of the input; closes `pipe`.
void forward_singbox_log(std::shared_ptr<std::atomic<bool>> started, UniqueFd pipe, int sink);

}  // namespace quorin
