#pragma once

// Inputs of maximal size for the benchmarks, built deterministically so that every
// run (and the sandbox benchmark, through quorin-bench-tool) sees the same bytes.

#include <cstddef>
#include <string>
#include <vector>

namespace quorin::bench {

inline constexpr size_t MAX_REQUEST_BYTES = 12 * 1024 * 1024;
inline constexpr size_t MAX_MIHOMO_CONFIG_BYTES = 8 * 1024 * 1024;

// A Mihomo configuration that passes the policy, written compactly in exactly `bytes`
// bytes: VLESS/Trojan proxies with nested options (about half), proxy groups naming
// them, and domain rules (the rest), as subscription services hand them out.
std::string mihomo_config(size_t bytes);

// "mihomo-up <Base64 of config> <memory limit>", padded with blanks to `bytes` bytes
// including the final line feed.
std::string mihomo_up_line(const std::string& config, size_t bytes);

// `count` bypass entries of exactly `bytes` bytes after trimming: paths with
// backslashes, blanks around them, some duplicates.
std::vector<std::string> bypass_entries(size_t count, size_t bytes);

// A JSON array of strings, compact.
std::string json_string_array(const std::vector<std::string>& entries);

// 64 server entries: IPv4 literals (some excluded or repeated), host names in mixed
// case with trailing dots and blanks, and entries that are neither.
std::vector<std::string> server_entries();

// A word of `chars` URL-safe Base64 characters (a multiple of 4 decodes without a tail).
std::string base64_word(size_t chars);

}  // namespace quorin::bench
