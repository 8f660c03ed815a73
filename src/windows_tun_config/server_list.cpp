#include <arpa/inet.h>
#include <utf8proc.h>

#include <algorithm>
#include <optional>
#include <set>
#include <string_view>

#include "common/text.hpp"
#include "windows_tun_config/singbox_config.hpp"

namespace quorin {

namespace {

constexpr size_t MAX_HOST_NAMES = 64;
constexpr size_t MAX_HOST_NAME_BYTES = 253;

// Four decimal octets of one to three digits, no leading zero except a lone "0".
std::optional<Ipv4> parse_ipv4(std::string_view text) {
    if (text.size() > 15) return std::nullopt;
    Ipv4 address = 0;
    size_t pos = 0;
    for (int octet = 0; octet < 4; ++octet) {
        if (octet > 0) {
            if (pos >= text.size() || text[pos] != '.') return std::nullopt;
            ++pos;
        }
        size_t start = pos;
        unsigned value = 0;
        while (pos < text.size() && pos - start < 3 && text[pos] >= '0' && text[pos] <= '9')
            value = value * 10 + static_cast<unsigned>(text[pos++] - '0');
        size_t digits = pos - start;
        if (digits == 0 || value > 255 || (digits > 1 && text[start] == '0')) return std::nullopt;
        address = (address << 8) | value;
    }
    if (pos != text.size()) return std::nullopt;
    return address;
}

bool is_ipv6_text(const std::string& text) {
    in6_addr address;
    return inet_pton(AF_INET6, text.c_str(), &address) == 1;
}

// Full lower-casing. utf8proc_tolower is the simple mapping, which differs from the
// full one only for U+0130, whose full lower case is "i" followed by U+0307.
std::string full_lower_case(std::string_view text) {
    std::string lower;
    lower.reserve(text.size());
    auto bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
    auto left = static_cast<utf8proc_ssize_t>(text.size());
    while (left > 0) {
        utf8proc_int32_t c = 0;
        utf8proc_ssize_t length = utf8proc_iterate(bytes, left, &c);
        if (length <= 0) break;  // the caller passes valid UTF-8 only
        bytes += length;
        left -= length;
        if (c == 0x130) {
            lower += "i\u0307";
            continue;
        }
        utf8proc_uint8_t encoded[4];
        utf8proc_ssize_t size = utf8proc_encode_char(utf8proc_tolower(c), encoded);
        lower.append(reinterpret_cast<const char*>(encoded), static_cast<size_t>(size));
    }
    return lower;
}

bool is_host_name_byte(char c) { return is_ascii_alnum(c) || c == '-' || c == '.' || c == '_'; }

std::optional<std::string> normalize_host_name(std::string_view entry) {
    std::string_view text = trim_white_space(entry);
    while (!text.empty() && text.back() == '.') text.remove_suffix(1);
    std::string name = full_lower_case(text);
    if (name.empty() || name.size() > MAX_HOST_NAME_BYTES) return std::nullopt;
    if (name.find('.') == std::string::npos) return std::nullopt;
    if (!std::all_of(name.begin(), name.end(), is_host_name_byte)) return std::nullopt;
    if (parse_ipv4(name) || is_ipv6_text(name)) return std::nullopt;
    return name;
}

bool is_excluded_literal(Ipv4 address) {
    uint32_t first = address >> 24;
    return first == 127 || (first >= 224 && first <= 239) || address == 0;
}

std::string_view entry_text(const std::string& entry) { return entry; }
std::string_view entry_text(JsonView entry) { return entry.text(); }

// Only the lowest `limit` are ever used, so no more are kept however long the list.
template <class Value>
void insert_bounded(std::set<Value>& values, Value value, size_t limit) {
    values.insert(std::move(value));
    if (values.size() > limit) values.erase(std::prev(values.end()));
}

template <class Entries>
std::vector<Ipv4> lowest_ipv4_servers(const Entries& entries) {
    std::set<Ipv4> addresses;
    for (const auto& entry : entries) {
        std::string_view text = entry_text(entry);
        // Entries come from JSON text, but a stray invalid byte must not reach the
        // white-space trimming, which expects UTF-8; such an entry is no address anyway.
        if (!is_valid_utf8(text)) continue;
        auto address = parse_ipv4(trim_white_space(text));
        if (address && !is_excluded_literal(*address)) insert_bounded(addresses, *address, MAX_IPV4_SERVERS);
    }
    return std::vector<Ipv4>(addresses.begin(), addresses.end());
}

template <class Entries>
std::vector<std::string> first_host_names(const Entries& entries) {
    std::set<std::string> names;
    for (const auto& entry : entries) {
        std::string_view text = entry_text(entry);
        if (!is_valid_utf8(text)) continue;  // could never pass the ASCII byte rule
        if (auto name = normalize_host_name(text)) insert_bounded(names, std::move(*name), MAX_HOST_NAMES);
    }
    return std::vector<std::string>(names.begin(), names.end());
}

template <class Entries>
ServerList normalized(const Entries& entries) {
    ServerList servers;
    for (Ipv4 address : lowest_ipv4_servers(entries)) servers.push_back(format_ipv4(address));
    for (std::string& name : first_host_names(entries)) servers.push_back(std::move(name));
    if (servers.size() > MAX_SERVERS) servers.resize(MAX_SERVERS);
    return servers;
}

}  // namespace

std::string format_ipv4(Ipv4 address) {
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        if (shift != 24) text += '.';
        text += std::to_string((address >> shift) & 0xFF);
    }
    return text;
}

std::vector<Ipv4> extract_ipv4_servers(const std::vector<std::string>& entries) { return lowest_ipv4_servers(entries); }

std::vector<std::string> extract_host_names(const std::vector<std::string>& entries) {
    return first_host_names(entries);
}

ServerList normalize_server_list(const std::vector<std::string>& entries) { return normalized(entries); }

std::optional<Ipv4> legacy_numeric_address(const std::string& name) {
    in_addr address{};
    if (inet_aton(name.c_str(), &address) == 0) return std::nullopt;
    return ntohl(address.s_addr);
}

ServerList normalize_server_list(JsonView list) { return normalized(list.children()); }

}  // namespace quorin
