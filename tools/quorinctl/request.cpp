#include "quorinctl/request.hpp"

#include "common/base64.hpp"
#include "common/json.hpp"
#include "common/text.hpp"
#include "mihomo/policy.hpp"

namespace quorin::ctl {

Result<std::string> encode_string_list(const std::vector<std::string>& texts) {
    Json array = Json::array();
    for (const auto& text : texts) {
        if (!is_valid_utf8(text)) return fail("not valid UTF-8: " + lossy_utf8(text));
        array.push_back(text);
    }
    return encode_base64_url(dump_compact(array));
}

std::string_view encode_flag(bool value) { return value ? "1" : "0"; }

Result<std::string> tun_up_line(const TunUpArgs& args) {
    auto bypass = encode_string_list(args.bypass);
    if (!bypass) return fail("bypass entry " + bypass.error().message());
    std::string line = "tun-up " + args.interface + " " + std::string(encode_flag(args.ipv6)) + " " +
                       std::string(encode_flag(args.auto_route)) + " " + std::to_string(args.mtu) + " " +
                       std::to_string(args.socks_port) + " " + *bypass;
    if (!args.servers.empty()) {
        auto servers = encode_string_list(args.servers);
        if (!servers) return fail("server entry " + servers.error().message());
        line += " " + *servers;
    }
    return line;
}

std::string mihomo_up_line(std::string_view json, std::string_view memory_limit) {
    std::string line = "mihomo-up " + encode_base64_url(json);
    if (!memory_limit.empty()) line += " " + std::string(memory_limit);
    return line;
}

bool is_memory_limit(std::string_view word) { return parse_memory_limit(word).has_value(); }

std::vector<std::string> parse_list_file(std::string_view content) {
    std::vector<std::string> entries;
    while (!content.empty()) {
        size_t end = content.find('\n');
        std::string_view line = content.substr(0, end);
        content.remove_prefix(end == std::string_view::npos ? content.size() : end + 1);
        if (line.ends_with('\r')) line.remove_suffix(1);
        // Invalid UTF-8 is kept whole, so that encoding names the entry and refuses it.
        std::string_view bare = is_valid_utf8(line) ? trim_white_space(line) : line;
        if (bare.empty() || bare.front() == '#') continue;
        entries.emplace_back(bare);
    }
    return entries;
}

}  // namespace quorin::ctl
