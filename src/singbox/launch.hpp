#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "common/error.hpp"
#include "common/unique_fd.hpp"
#include "host/bypass.hpp"
#include "privileged/session.hpp"
#include "windows_tun_config/singbox_config.hpp"

namespace quorin {

struct SingboxStart {
    std::string interface_name{};
    bool ipv6 = false;
    bool auto_route = false;
    uint16_t mtu = 0;
    uint16_t socks_port = 0;
    BypassList bypass_processes{};
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
