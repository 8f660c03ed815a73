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
bool has_literal(JsonView object, std::string_view key, bool expected) {
    auto member = object.find(key);
    return member && member->is_boolean() && member->is_true() == expected;
}

// The refusal names the smallest forbidden key in byte order.
Result<void> check_keys(JsonView config) {
    std::optional<std::string_view> smallest;
    bool at_key = true;
    for (JsonView child : config.children()) {
        std::string_view key = child.text();
        if (at_key && !is_allowed_key(key) && (!smallest || key < *smallest)) smallest = key;
        at_key = !at_key;
    }
    if (smallest) return fail("запрещённый параметр Mihomo: " + std::string(*smallest));
    return {};
}

// Mihomo compares the API's bearer token with this; an empty one turns the check off.
bool has_usable_secret(JsonView config) {
    auto secret = config.find("secret");
    return !secret || (secret->is_string() && !secret->text().empty());
}

bool has_loopback_controller(JsonView config) {
    auto controller = config.find("external-controller");
    return controller && controller->is_string() && controller->text().starts_with(LOOPBACK_CONTROLLER_PREFIX);
}

// Only a JSON integer counts, so that nothing hangs on how Mihomo reads 2022.0 or "2022".
bool is_absent_or_integer(JsonView object, std::string_view key, uint32_t expected) {
    auto member = object.find(key);
    return !member || member->is_integer_equal_to(expected);
}

// A table or rule priority of Mihomo's choosing would outlive the session: the clean-up
// removes only its fixed ones.
bool has_cleanable_routing(JsonView tun) {
    return is_absent_or_integer(tun, "iproute2-table-index", cleanup_detail::MIHOMO_ROUTING_TABLE) &&
           is_absent_or_integer(tun, "iproute2-rule-index", cleanup_detail::MIHOMO_FIRST_RULE_PRIORITY);
}

Result<std::string> check_tun(JsonView config) {
    auto tun = config.find("tun");
    if (!tun || !tun->is_object()) return fail("отсутствует безопасная конфигурация TUN Mihomo");
    auto device = tun->find("device");
    if (tun->empty() || !device || !device->is_string()) return fail("отсутствует имя TUN Mihomo");
    std::string name(device->text());
    if (!is_interface_name(name)) return fail("небезопасная конфигурация TUN Mihomo");
    for (std::string_view flag : {"enable", "auto-route", "strict-route"}) {
        if (!has_literal(*tun, flag, true)) return fail("небезопасная конфигурация TUN Mihomo");
    }
    if (!has_cleanable_routing(*tun)) return fail("небезопасные индексы маршрутизации TUN Mihomo");
    return name;
}

// A wrongly typed member counts as absent.
bool has_proxy_source(JsonView config) {
    auto proxies = config.find("proxies");
    auto providers = config.find("proxy-providers");
    bool listed = proxies && proxies->is_array() && !proxies->empty();
    bool provided = providers && providers->is_object() && !providers->empty();
    return listed || provided;
}

}  // namespace

Result<std::string> decode_mihomo_bytes(std::string_view word) {
    auto bytes = decode_base64_url(word);
    if (!bytes) return fail("повреждена конфигурация Mihomo", bytes.error());
    if (bytes->size() > MIHOMO_CONFIG_MAX_BYTES) return fail("конфигурация Mihomo превышает 8 МБ");
    return bytes;
}

Result<JsonDocument> parse_mihomo_config(std::string bytes) {
    auto value = JsonDocument::parse(std::move(bytes), MIHOMO_CONFIG_MAX_DEPTH);
    if (!value) return fail("некорректная конфигурация Mihomo", value.error());
    return value;
}

Result<JsonDocument> decode_mihomo_config(std::string_view word) {
    auto bytes = decode_mihomo_bytes(word);
    if (!bytes) return fail(bytes.error());
    return parse_mihomo_config(std::move(*bytes));
}

std::optional<std::string> parse_memory_limit(std::string_view word) {
    size_t number_end = word.size();
    while (number_end > 0 && is_ascii_letter(word[number_end - 1])) --number_end;
    if (number_end == 0 || word.size() > MEMORY_LIMIT_MAX_BYTES) return std::nullopt;
    if (!std::all_of(word.begin(), word.begin() + number_end, is_ascii_digit)) return std::nullopt;
    return std::string(word);
}

Result<std::string> check_mihomo_policy(const JsonDocument& document) {
    JsonView config = document.root();
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
