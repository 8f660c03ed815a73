#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>

#include "common/child.hpp"
#include "common/error.hpp"
#include "common/files.hpp"
#include "common/json_document.hpp"
#include "common/unique_fd.hpp"
#include "privileged/session.hpp"

namespace quorin {

// A mihomo-up request that has passed the policy.
struct MihomoRequest {
    JsonDocument config;
    std::string tun_device;
    std::optional<std::string> memory_limit;
    UniqueFd owner_handle;
};

// Where a Mihomo launch keeps its files, how long the configuration test may run, and
// as whom both runs go (none: as the helper itself).
struct MihomoLayout {
    std::string working_dir{};
    std::string config_file{};
    std::chrono::milliseconds check_limit{};
    std::optional<Credentials> account{};
};

// /var/cache/quorin/mihomo, /run/quorin/mihomo.json and a 60-second test bound.
MihomoLayout mihomo_layout(const HelperDirs& dirs);

// Lets Mihomo test the configuration file with both streams captured. A rejection's
// message carries the core's own detail line; a test still running at the bound is
// killed, reaped and reported as a failure to check.
Result<void> run_mihomo_check(const std::string& executable, const MihomoLayout& layout);

// The real run: stdin on the null device, stdout and stderr the helper's own, and
// GOMEMLIMIT set only when the request carried a memory limit.
Result<Child> start_mihomo(const std::string& executable, const MihomoLayout& layout,
                           const std::optional<std::string>& memory_limit);

// Replaces whatever core runs by Mihomo with the checked request's configuration and
// makes the client its owner. A start for another uid than the last one's begins in an
// emptied working directory (GeoData copies kept). After the core has been found, a
// failure leaves no session; the owner handle is closed with the request.
Result<void> launch_mihomo(MihomoRequest request, SessionSlot& slot, pid_t client_pid, uid_t client_uid);

}  // namespace quorin
