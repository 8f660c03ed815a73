// The mihomo-up configuration word, the memory-limit word and the policy. Each input is
// tried as the request word (Base64 layer) and as the decoded document (JSON layer and
// policy). An accepted configuration must hold what the policy promises and must read
// back unchanged from the pretty form that Mihomo is given.

#include <algorithm>
#include <cstdint>
#include <set>
#include <string>

#include "common/base64.hpp"
#include "common/json.hpp"
#include "common/json_document.hpp"
#include "fuzz_support.hpp"
#include "mihomo/policy.hpp"

namespace {

using namespace quorin;

const std::set<std::string> DECODE_MESSAGES = {"повреждена конфигурация Mihomo", "конфигурация Mihomo превышает 8 МБ",
                                               "некорректная конфигурация Mihomo"};
const std::set<std::string> POLICY_MESSAGES = {"конфигурация Mihomo должна быть объектом",
                                               "Mihomo не должен открывать порты в LAN",
                                               "API Mihomo должен слушать только localhost",
                                               "отсутствует безопасная конфигурация TUN Mihomo",
                                               "отсутствует имя TUN Mihomo",
                                               "небезопасная конфигурация TUN Mihomo",
                                               "в конфигурации Mihomo нет прокси",
                                               "секрет API Mihomo должен быть непустой строкой",
                                               "небезопасные индексы маршрутизации TUN Mihomo",
                                               "ключ JSON в записанном виде длиннее 1024 символов"};
// Refusals that name a provider or a proxy.
const std::set<std::string> NAMING_PREFIXES = {"запрещённый параметр Mihomo: ", "файл провайдера Mihomo ",
                                               "файл ключа или сертификата прокси Mihomo "};

bool is_true(const Json& object, const char* key) {
    auto member = object.find(key);
    return member != object.end() && *member == Json(true);
}

bool is_absent_or(const Json& object, const char* key, const Json& expected) {
    auto member = object.find(key);
    return member == object.end() || (member->type() == expected.type() && *member == expected);
}

void require_safe(const Json& config, const std::string& device) {
    fuzz::require(is_interface_name(device), "the device is an interface name");
    for (auto member = config.begin(); member != config.end(); ++member) {
        fuzz::require(std::ranges::find(ALLOWED_MIHOMO_KEYS, member.key()) != ALLOWED_MIHOMO_KEYS.end(),
                      "only allowed keys pass");
    }
    fuzz::require(config.at("allow-lan") == Json(false), "allow-lan is false");
    fuzz::require(config.at("external-controller").get<std::string>().starts_with("127.0.0.1:"),
                  "the controller listens on loopback");
    auto dns = config.find("dns");
    if (dns != config.end() && dns->is_object() && dns->contains("listen")) {
        const std::string listen = dns->at("listen").get<std::string>();
        fuzz::require(listen.starts_with("127.0.0.1:") || listen.starts_with("[::1]:"), "DNS listens on loopback");
    }
    const Json& tun = config.at("tun");
    fuzz::require(tun.at("device") == Json(device), "the device is tun.device");
    fuzz::require(is_true(tun, "enable") && is_true(tun, "auto-route") && is_true(tun, "strict-route"),
                  "TUN routing is strict");
    fuzz::require(
        is_absent_or(tun, "iproute2-table-index", Json(2022U)) && is_absent_or(tun, "iproute2-rule-index", Json(9000U)),
        "Mihomo's routing state is what the clean-up removes");
    auto secret = config.find("secret");
    fuzz::require(secret == config.end() || (secret->is_string() && !secret->get<std::string>().empty()),
                  "an API secret is a non-empty string");
}

void check_document(const Result<JsonDocument>& config) {
    if (!config) {
        fuzz::require(DECODE_MESSAGES.contains(config.error().message()), "decode refusals use the three messages");
        return;
    }
    auto device = check_mihomo_policy(*config);
    if (!device) {
        const std::string& message = device.error().message();
        fuzz::require(
            POLICY_MESSAGES.contains(message) ||
                std::ranges::any_of(NAMING_PREFIXES, [&](auto& prefix) { return message.starts_with(prefix); }),
            "policy refusals use the policy's messages");
        return;
    }
    const Json written = fuzz::written_and_read_back(*config, MIHOMO_CONFIG_MAX_DEPTH);
    require_safe(written, *device);
}

void check_memory_limit(std::string_view word) {
    auto limit = parse_memory_limit(word);
    if (!limit) return;
    fuzz::require(*limit == word && !word.empty() && word.size() <= MEMORY_LIMIT_MAX_BYTES, "limit passes unchanged");
    size_t digits = word.find_first_not_of("0123456789");
    fuzz::require(digits != 0, "limit starts with a digit");
    if (digits != std::string_view::npos) {
        fuzz::require(word.substr(digits).find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz") ==
                          std::string_view::npos,
                      "limit ends in ASCII letters only");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input = fuzz::as_text(data, size);
    check_document(decode_mihomo_config(input));
    const std::string word = encode_base64_url(input);
    check_document(decode_mihomo_config(word));
    // What Mihomo reads is what the library reads from the client's text.
    auto given = parse_json(input, MIHOMO_CONFIG_MAX_DEPTH);
    auto config = decode_mihomo_config(word);
    if (given && config && check_mihomo_policy(*config)) {
        fuzz::require(fuzz::written_and_read_back(*config, MIHOMO_CONFIG_MAX_DEPTH) == *given,
                      "the written configuration reads back unchanged");
    }
    check_memory_limit(input.substr(0, 24));
    return 0;
}
