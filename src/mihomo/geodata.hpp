#pragma once

#include <sys/types.h>

#include <array>
#include <string>
#include <string_view>

#include "common/error.hpp"

namespace quorin {

struct GeodataFile {
    std::string_view source{};  // in the Xray core directory
    std::string_view target{};  // in Mihomo's working directory
};

// Copied in this order; a failure stops before the next one.
inline constexpr std::array<GeodataFile, 2> GEODATA_FILES = {{
    {"geoip.dat", "GeoIP.dat"},
    {"geosite.dat", "GeoSite.dat"},
}};

inline constexpr off_t GEODATA_MAX_BYTES = 268435456;

// Copies Xray's GeoData files into Mihomo's working directory. Each copy goes to a
// fresh temporary file (mode 0600, created as `owner` and `group`, so that Mihomo may
// replace the files itself) that is flushed and then renamed over the final name, so the
// final name only ever holds a complete copy; on failure the temporary file is gone.
// Temporaries that a killed helper left behind are removed first, and so is whatever
// stands at a GeoData name and is not a regular file. The message names the source
// file; the OS error is the cause.
// Removes everything in the working directory but the GeoData copies, without following
// a link; best effort.
void clear_working_dir(const std::string& working_dir);

Result<void> prepare_geodata(const std::string& core_dir, const std::string& working_dir, uid_t owner, gid_t group);

}  // namespace quorin
