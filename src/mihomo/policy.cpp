#include "mihomo/policy.hpp"

#include <algorithm>

#include "common/base64.hpp"
#include "common/text.hpp"
#include "host/cleanup_commands.hpp"

namespace quorin {

namespace {

constexpr std::string_view LOOPBACK_CONTROLLER_PREFIX = "127.0.0.1:";
constexpr std::array<std::string_view, 2> LOOPBACK_DNS_HOSTS = {"127.0.0.1", "[::1]"};

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

// Mihomo's DNS server listens where `dns` -> `listen` says, on any address it is given.
bool has_loopback_dns(JsonView config) {
    auto dns = config.find("dns");
    auto listen = dns ? dns->find("listen") : std::nullopt;
    if (!listen) return true;
    if (!listen->is_string()) return false;
    for (std::string_view host : LOOPBACK_DNS_HOSTS) {
        std::string_view address = listen->text();
        if (!address.starts_with(host)) continue;
        std::string_view port = address.substr(host.size());
        if (port.size() > 1 && port[0] == ':' && std::all_of(port.begin() + 1, port.end(), is_ascii_digit)) return true;
    }
    return false;
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

// Mihomo resolves a relative file name against its working directory.
bool is_inside_working_dir(std::string_view path) {
    if (path.starts_with('/') || path.find('\0') != std::string_view::npos) return false;
    for (size_t start = 0; start <= path.size();) {
        size_t end = std::min(path.find('/', start), path.size());
        if (path.substr(start, end - start) == "..") return false;
        start = end + 1;
    }
    return true;
}

// A provider's file is what the core downloads into, or reads rules and proxies from.
Result<void> check_provider_files(JsonView config) {
    for (std::string_view kind : {"proxy-providers", "rule-providers"}) {
        auto providers = config.find(kind);
        if (!providers || !providers->is_object()) continue;
        std::string_view name;
        bool at_name = true;
        for (JsonView child : providers->children()) {
            if (at_name) {
                name = child.text();
            } else if (auto path = child.find("path");
                       path && !(path->is_string() && is_inside_working_dir(path->text()))) {
                return fail("файл провайдера Mihomo " + std::string(name) + " должен лежать в рабочем каталоге");
            }
            at_name = !at_name;
        }
    }
    return {};
}

// Mihomo reads `ca` as a file, and `certificate` and `private-key` as files unless they
// hold PEM text (which never reads as a path outside). A WireGuard `private-key` is a
// Base64 key that may begin with '/', so a key counts only beside a certificate or in an
// SSH proxy, which reads it as a file unless it holds the key itself.
Result<void> check_proxy_files(JsonView config) {
    auto proxies = config.find("proxies");
    if (!proxies || !proxies->is_array()) return {};
    for (JsonView proxy : proxies->children()) {
        auto type = proxy.find("type");
        const bool keyed = proxy.find("certificate") || (type && type->is_string() && type->text() == "ssh");
        for (std::string_view field : {"ca", "certificate", "private-key"}) {
            auto file = proxy.find(field);
            if (!file || !file->is_string() || is_inside_working_dir(file->text())) continue;
            if (field == "private-key" && !keyed) continue;
            auto name = proxy.find("name");
            return fail("файл ключа или сертификата прокси Mihomo " + std::string(name ? name->text() : "") +
                        " должен лежать в рабочем каталоге");
        }
    }
    return {};
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
    if (!has_literal(config, "allow-lan", false) || !has_loopback_dns(config))
        return fail("Mihomo не должен открывать порты в LAN");
    if (!has_loopback_controller(config)) return fail("API Mihomo должен слушать только localhost");
    auto device = check_tun(config);
    if (!device) return device;
    if (!has_proxy_source(config)) return fail("в конфигурации Mihomo нет прокси");
    if (auto providers = check_provider_files(config); !providers) return fail(providers.error());
    if (auto proxies = check_proxy_files(config); !proxies) return fail(proxies.error());
    if (auto keys = document.check_written_keys(); !keys) return fail(keys.error());
    return device;
}

}  // namespace quorin
