#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/error.hpp"
#include "common/files.hpp"

namespace quorin {

struct InstalledCore {
    std::string version;
    std::string executable;
    std::string core_dir;
};

struct CoreSet {
    InstalledCore xray;
    InstalledCore sing_box;
    InstalledCore mihomo;
};

// The content of a managed core's active.json.
struct CoreManifest {
    std::string version;
    std::string directory;
    int64_t installed_at = 0;
    std::string sha256;

    // Strict reading: other members ignored; a missing, repeated or wrongly typed member
    // refused; the four-element array form accepted.
    static Result<CoreManifest> parse(std::string_view text);
};

// Absent is an empty optional; failed is an error.
Result<std::optional<InstalledCore>> resolve_xray(const HelperDirs& dirs);
Result<std::optional<InstalledCore>> resolve_sing_box(const HelperDirs& dirs);
std::optional<InstalledCore> resolve_mihomo(const HelperDirs& dirs);
Result<CoreSet> require_all_cores();

// The versions of the copies require_all_cores() would give, or its error; when every
// built-in copy is complete, found with the same five looks and no path built.
struct CoreVersions {
    std::string xray;
    std::string sing_box;
    std::string mihomo;
};
Result<CoreVersions> core_versions_in_force();
Result<std::optional<CoreManifest>> read_core_manifest(const std::string& home);

// Reads a whole data file (a larger one than 16 MiB is refused) and parses it as the
// record type.
template <class Record>
Result<Record> read_json_data_file(const std::string& path);

}  // namespace quorin
