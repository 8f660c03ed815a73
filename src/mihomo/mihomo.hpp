#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

#include "common/error.hpp"
#include "common/json.hpp"
#include "common/unique_fd.hpp"
#include "privileged/session.hpp"

namespace quorin {

struct MihomoRequest {
    JsonDocument config;
    std::string tun_device;
    std::optional<std::string> memory_limit;
    UniqueFd owner_handle;
};

// Decodes, vets and launches a mihomo-up request (word 1 and the optional word 2). On
// success the slot holds the new session, owned by the client, whose handle it takes.
// `request_text`, when given, is the request line the words point into: it is released
// as soon as the configuration's bytes are decoded, so that a maximal request is not
// held through the parse and the launch. The words must not be used afterwards.
Result<void> handle_mihomo_up(std::string_view config_word, std::optional<std::string_view> memory_word,
                              SessionSlot& slot, ClientProcess& client, std::string* request_text = nullptr);

}  // namespace quorin
