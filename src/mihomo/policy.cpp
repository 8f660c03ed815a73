#include "mihomo/policy.hpp"

#include <algorithm>

#include "common/base64.hpp"
#include "common/text.hpp"
#include "host/cleanup_commands.hpp"

namespace quorin {

namespace {

constexpr std::string_view LOOPBACK_CONTROLLER_PREFIX = "127.0.0.1:";

bool is_ascii_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }

bool is_allowed_key(std::string_view key) {
    return std::ranges::find(ALLOWED_MIHOMO_KEYS, key) != ALLOWED_MIHOMO_KEYS.end();
}

// True only for a present member holding exactly this JSON literal.
bool has_literal(const Json& object, std::string_view key, bool expected) {
    auto member = object.find(key);
    return member != object.end() && member->is_boolean() && member->get<bool>() == expected;
}

// Objects iterate in ascending byte order, so the first forbidden key met is the
// smallest one.
Result<void> check_keys(const Json& config) {
    for (auto member = config.begin(); member != config.end(); ++member) {
        if (!is_allowed_key(member.key())) return fail("запрещённый параметр Mihomo: " + member.key());
    }
    return {};
}

// Mihomo compares the API's bearer token with this; an empty one turns the check off.
bool has_usable_secret(const Json& config) {
    auto secret = config.find("secret");
    return secret == config.end() || (secret->is_string() && !secret->get_ref<const std::string&>().empty());
}

bool has_loopback_controller(const Json& config) {
    auto controller = config.find("external-controller");
    return controller != config.end() && controller->is_string() &&
           controller->get_ref<const std::string&>().starts_with(LOOPBACK_CONTROLLER_PREFIX);
}

// Only a JSON integer counts, so that nothing hangs on how Mihomo reads 2022.0 or "2022".
bool is_absent_or_integer(const Json& object, std::string_view key, uint32_t expected) {
    auto member = object.find(key);
    return member == object.end() || (member->is_number_integer() && *member == Json(expected));
}

// A table or rule priority of Mihomo's choosing would outlive the session: the clean-up
// removes only its fixed ones.
bool has_cleanable_routing(const Json& tun) {
    return is_absent_or_integer(tun, "iproute2-table-index", cleanup_detail::MIHOMO_ROUTING_TABLE) &&
           is_absent_or_integer(tun, "iproute2-rule-index", cleanup_detail::MIHOMO_FIRST_RULE_PRIORITY);
}

Result<std::string> check_tun(const Json& config) {
    auto tun = config.find("tun");
    if (tun == config.end() || !tun->is_object()) return fail("отсутствует безопасная конфигурация TUN Mihomo");
    auto device = tun->find("device");
    if (tun->empty() || device == tun->end() || !device->is_string()) return fail("отсутствует имя TUN Mihomo");
    const std::string& name = device->get_ref<const std::string&>();
    if (!is_interface_name(name)) return fail("небезопасная конфигурация TUN Mihomo");
    for (std::string_view flag : {"enable", "auto-route", "strict-route"}) {
        if (!has_literal(*tun, flag, true)) return fail("небезопасная конфигурация TUN Mihomo");
    }
    if (!has_cleanable_routing(*tun)) return fail("небезопасные индексы маршрутизации TUN Mihomo");
    return name;
}

// A wrongly typed member counts as absent.
bool has_proxy_source(const Json& config) {
    auto proxies = config.find("proxies");
    auto providers = config.find("proxy-providers");
    bool listed = proxies != config.end() && proxies->is_array() && !proxies->empty();
    bool provided = providers != config.end() && providers->is_object() && !providers->empty();
    return listed || provided;
}

}  // namespace

Result<std::string> decode_mihomo_bytes(std::string_view word) {
    auto bytes = decode_base64_url(word);
    if (!bytes) return fail("повреждена конфигурация Mihomo", bytes.error());
    if (bytes->size() > MIHOMO_CONFIG_MAX_BYTES) return fail("конфигурация Mihomo превышает 8 МБ");
    return bytes;
}

Result<Json> parse_mihomo_config(std::string_view bytes) {
    auto value = parse_json(bytes, MIHOMO_CONFIG_MAX_DEPTH);
    if (!value) return fail("некорректная конфигурация Mihomo", value.error());
    return value;
}

Result<Json> decode_mihomo_config(std::string_view word) {
    auto bytes = decode_mihomo_bytes(word);
    if (!bytes) return fail(bytes.error());
    return parse_mihomo_config(*bytes);
}

std::optional<std::string> parse_memory_limit(std::string_view word) {
    size_t number_end = word.size();
    while (number_end > 0 && is_ascii_letter(word[number_end - 1])) --number_end;
    if (number_end == 0 || word.size() > MEMORY_LIMIT_MAX_BYTES) return std::nullopt;
    if (!std::all_of(word.begin(), word.begin() + number_end, is_ascii_digit)) return std::nullopt;
    return std::string(word);
}

Result<std::string> check_mihomo_policy(const Json& config) {
    if (!config.is_object()) return fail("конфигурация Mihomo должна быть объектом");
    if (auto keys = check_keys(config); !keys) return fail(keys.error());
    if (!has_usable_secret(config)) return fail("секрет API Mihomo должен быть непустой строкой");
    if (!has_literal(config, "allow-lan", false)) return fail("Mihomo не должен открывать порты в LAN");
    if (!has_loopback_controller(config)) return fail("API Mihomo должен слушать только localhost");
    auto device = check_tun(config);
    if (!device) return device;
    if (!has_proxy_source(config)) return fail("в конфигурации Mihomo нет прокси");
    return device;
}

}  // namespace quorin
