#pragma once

// Pieces of the core catalogue that the public operations are built from, exposed so
// that unit tests can point them at temporary directories.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "common/error.hpp"
#include "common/files.hpp"
#include "host/catalogue.hpp"

namespace quorin::catalogue_detail {

// Where the read-only package tree keeps the built-in copies.
inline constexpr std::string_view BUILTIN_CORES_DIR = "/usr/lib/quorin/cores";
// Largest data file that read_json_data_file accepts (16 MiB; exactly this is accepted).
inline constexpr std::size_t MAX_DATA_FILE_BYTES = 16777216;
// Nesting allowed while parsing a manifest; the four members need one level, ignored
// members may nest deeper.
inline constexpr std::size_t MANIFEST_MAX_DEPTH = 512;

inline constexpr std::string_view XRAY_VERSION = "v26.10.21";
inline constexpr std::string_view SING_BOX_VERSION = "v1.14.1";
inline constexpr std::string_view MIHOMO_VERSION = "v1.19.30";

// The public resolvers with the built-in root as a parameter.
Result<std::optional<InstalledCore>> resolve_xray_in(const std::string& builtin_root, const HelperDirs& dirs);
Result<std::optional<InstalledCore>> resolve_sing_box_in(const std::string& builtin_root, const HelperDirs& dirs);
std::optional<InstalledCore> resolve_mihomo_in(const std::string& builtin_root, const HelperDirs& dirs);
Result<CoreSet> require_all_cores_in(const std::string& builtin_root, const HelperDirs& dirs);
Result<CoreVersions> core_versions_in(const std::string& builtin_root, const HelperDirs& dirs);

}  // namespace quorin::catalogue_detail
