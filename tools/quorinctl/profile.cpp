#include "quorinctl/profile.hpp"

#include <sys/random.h>
#include <yaml-cpp/yaml.h>

#include <cerrno>
#include <cstdlib>

#include "common/json.hpp"
#include "common/text.hpp"
#include "mihomo/policy.hpp"

namespace quorin::ctl {

namespace {

// Aliases can make a small file expand enormously; the helper takes at most 8 MiB.
constexpr size_t MAX_EXPANDED_BYTES = size_t{16} * 1024 * 1024;
constexpr size_t API_SECRET_BYTES = 32;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Consumes one or more characters of the class; false when there is none.
bool take_digits(std::string_view& text, bool (*in_class)(char)) {
    size_t n = 0;
    while (n < text.size() && in_class(text[n])) ++n;
    text.remove_prefix(n);
    return n > 0;
}

bool take_sign(std::string_view& text) {
    bool signed_ = !text.empty() && (text.front() == '+' || text.front() == '-');
    if (signed_) text.remove_prefix(1);
    return signed_;
}

bool is_one_of(std::string_view text, std::initializer_list<std::string_view> words) {
    for (auto word : words) {
        if (text == word) return true;
    }
    return false;
}

// [-+]? ( \.[0-9]+ | [0-9]+ ( \.[0-9]* )? ) ( [eE] [-+]? [0-9]+ )?, which includes the
// decimal integers.
bool is_core_number(std::string_view text) {
    (void)take_sign(text);
    if (text.starts_with('.')) {
        text.remove_prefix(1);
        if (!take_digits(text, is_digit)) return false;
    } else {
        if (!take_digits(text, is_digit)) return false;
        if (text.starts_with('.')) {
            text.remove_prefix(1);
            (void)take_digits(text, is_digit);
        }
    }
    if (text.starts_with('e') || text.starts_with('E')) {
        text.remove_prefix(1);
        (void)take_sign(text);
        if (!take_digits(text, is_digit)) return false;
    }
    return text.empty();
}

// The base of a 0o or 0x integer, or 0.
int prefixed_base(std::string_view text) {
    auto octal = [](char c) { return c >= '0' && c <= '7'; };
    auto hex = [](char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); };
    if (text.size() < 3 || text[0] != '0') return 0;
    std::string_view digits = text.substr(2);
    if (text[1] == 'o' && take_digits(digits, octal) && digits.empty()) return 8;
    if (text[1] == 'x' && take_digits(digits, hex) && digits.empty()) return 16;
    return 0;
}

bool is_not_a_number(std::string_view text) {
    std::string_view body = text;
    (void)take_sign(body);
    return is_one_of(body, {".inf", ".Inf", ".INF"}) || is_one_of(text, {".nan", ".NaN", ".NAN"});
}

std::string where(const YAML::Mark& mark) {
    return "line " + std::to_string(mark.line + 1) + ", column " + std::to_string(mark.column + 1);
}

// YAML number text in JSON's stricter grammar: no '+', no leading zeros, digits on
// both sides of the point. The JSON library then reads it exactly as it would read the
// same number in a JSON profile.
std::string json_number_text(std::string text) {
    std::string sign;
    if (text.front() == '+' || text.front() == '-') {
        if (text.front() == '-') sign = "-";
        text.erase(0, 1);
    }
    size_t int_end = text.find_first_of(".eE");
    std::string integer = text.substr(0, int_end);
    std::string rest = int_end == std::string::npos ? "" : text.substr(int_end);
    integer.erase(0, std::min(integer.find_first_not_of('0'), integer.size()));
    if (integer.empty()) integer = "0";
    if (rest.starts_with('.')) {
        size_t frac_end = rest.find_first_of("eE");
        std::string fraction = rest.substr(1, frac_end == std::string::npos ? std::string::npos : frac_end - 1);
        std::string exponent = frac_end == std::string::npos ? "" : rest.substr(frac_end);
        rest = (fraction.empty() ? ".0" : "." + fraction) + exponent;
    }
    return sign + integer + rest;
}

Result<Json> plain_scalar(const std::string& text, const YAML::Mark& mark) {
    if (is_one_of(text, {"true", "True", "TRUE", "false", "False", "FALSE"}))
        return Json(text.front() == 't' || text.front() == 'T');
    if (is_not_a_number(text)) return fail(where(mark) + ": " + text + " cannot be written in JSON");
    if (int base = prefixed_base(text)) {
        errno = 0;
        unsigned long long value = std::strtoull(text.c_str() + 2, nullptr, base);
        if (errno == ERANGE) return fail(where(mark) + ": " + text + " does not fit in 64 bits");
        return Json(static_cast<uint64_t>(value));
    }
    if (is_core_number(text)) {
        auto number = parse_json(json_number_text(text), 0);
        // The grammar is JSON's by now, so the library can only object to the magnitude.
        if (!number) return fail(where(mark) + ": " + text + " is too large for a JSON number");
        return number;
    }
    return Json(text);
}

class Converter {
public:
    Result<Json> convert(const YAML::Node& node, size_t depth) {
        switch (node.Type()) {
            case YAML::NodeType::Sequence:
                return sequence(node, depth);
            case YAML::NodeType::Map:
                return mapping(node, depth);
            case YAML::NodeType::Scalar:
                return scalar(node);
            default:
                return charge(4, Json(nullptr));
        }
    }

private:
    Result<Json> charge(size_t bytes, Json value) {
        expanded_ += bytes;
        if (expanded_ > MAX_EXPANDED_BYTES) return fail("the profile expands to more than 16 MiB of JSON");
        return value;
    }

    Result<Json> scalar(const YAML::Node& node) {
        const std::string& text = node.Scalar();
        // "?" marks a plain scalar; "!" a quoted one. Explicit tags other than !!str
        // carry no meaning in JSON, so the scalar is read as if it were plain.
        const std::string& tag = node.Tag();
        bool is_string = tag == "!" || tag == "tag:yaml.org,2002:str";
        if (is_string) return charge(text.size() + 2, Json(text));
        auto value = plain_scalar(text, node.Mark());
        if (!value) return value;
        return charge(text.size() + 2, std::move(*value));
    }

    Result<void> check_depth(const YAML::Node& node, size_t depth) {
        if (depth >= MIHOMO_CONFIG_MAX_DEPTH) return fail(where(node.Mark()) + ": nested more than 127 levels");
        return {};
    }

    Result<Json> sequence(const YAML::Node& node, size_t depth) {
        if (auto deep = check_depth(node, depth); !deep) return fail(deep.error());
        Json array = Json::array();
        for (const auto& item : node) {
            auto value = convert(item, depth + 1);
            if (!value) return value;
            array.push_back(std::move(*value));
        }
        return charge(2, std::move(array));
    }

    Result<std::string> key_text(const YAML::Node& key) {
        if (key.Type() != YAML::NodeType::Scalar)
            return fail(where(key.Mark()) + ": a key must be a string, a number or a boolean");
        return key.Scalar();
    }

    // Keys of the mapping itself win over merged ones, whatever their position; among
    // merged mappings the earlier wins.
    Result<Json> mapping(const YAML::Node& node, size_t depth) {
        if (auto deep = check_depth(node, depth); !deep) return fail(deep.error());
        Json object = Json::object();
        std::vector<YAML::Node> merged;
        for (const auto& pair : node) {
            if (pair.first.Tag() == "?" && pair.first.IsScalar() && pair.first.Scalar() == "<<") {
                if (pair.second.IsSequence()) {
                    for (const auto& source : pair.second) merged.push_back(source);
                } else {
                    merged.push_back(pair.second);
                }
                continue;
            }
            auto key = key_text(pair.first);
            if (!key) return fail(key.error());
            if (auto charged = charge(key->size() + 3, nullptr); !charged) return charged;
            auto value = convert(pair.second, depth + 1);
            if (!value) return value;
            object[*key] = std::move(*value);
        }
        for (const auto& source : merged) {
            if (!source.IsMap()) return fail(where(source.Mark()) + ": << must merge a mapping");
            auto value = mapping(source, depth);
            if (!value) return value;
            for (auto& [key, member] : value->items()) {
                if (!object.contains(key)) object[key] = std::move(member);
            }
        }
        return charge(2, std::move(object));
    }

    size_t expanded_ = 0;
};

bool ends_with_any(std::string_view name, std::initializer_list<std::string_view> suffixes) {
    for (auto suffix : suffixes) {
        if (name.ends_with(suffix)) return true;
    }
    return false;
}

Result<std::string> checked_json(std::string_view content) {
    auto value = parse_json(content, MIHOMO_CONFIG_MAX_DEPTH);
    if (!value) return fail("not valid JSON: " + value.error().message());
    return std::string(content);
}

}  // namespace

Result<std::string> yaml_to_json(std::string_view yaml) {
    if (!is_valid_utf8(yaml)) return fail("not valid UTF-8");
    std::vector<YAML::Node> documents;
    try {
        documents = YAML::LoadAll(std::string(yaml));
    } catch (const YAML::Exception& error) {
        return fail(where(error.mark) + ": " + error.msg);
    }
    if (documents.size() != 1) return fail("a profile is exactly one YAML document");
    Result<Json> value = fail("");
    try {
        value = Converter().convert(documents.front(), 0);
    } catch (const YAML::Exception& error) {
        return fail(where(error.mark) + ": " + error.msg);
    }
    if (!value) return fail(value.error());
    return dump_compact(*value);
}

Result<std::string> profile_json(std::string_view name, std::string_view content) {
    if (ends_with_any(name, {".json", ".JSON"})) return checked_json(content);
    if (ends_with_any(name, {".yaml", ".yml", ".YAML", ".YML"})) {
        auto json = yaml_to_json(content);
        if (!json) return fail("not a usable YAML profile: " + json.error().message());
        return json;
    }
    if (auto json = checked_json(content)) return json;
    auto json = yaml_to_json(content);
    if (!json) return fail("neither JSON nor a usable YAML profile: " + json.error().message());
    return json;
}

bool lacks_api_secret(std::string_view json) {
    auto value = parse_json(json, MIHOMO_CONFIG_MAX_DEPTH);
    return value && value->is_object() && !value->contains("secret");
}

std::optional<std::string> with_api_secret(std::string_view json, std::string_view secret) {
    auto value = parse_json(json, MIHOMO_CONFIG_MAX_DEPTH);
    if (!value || !value->is_object() || value->contains("secret")) return std::nullopt;
    // The text is one object, so after its closing brace there is only JSON white space.
    size_t brace = json.find_last_not_of(" \t\n\r");
    std::string text(json.substr(0, brace));
    text += (value->empty() ? "" : ",") + json_quote("secret") + ":" + json_quote(secret);
    text += json.substr(brace);
    return text;
}

Result<std::string> generate_api_secret() {
    unsigned char bytes[API_SECRET_BYTES];
    size_t filled = 0;
    while (filled < sizeof bytes) {
        ssize_t n = getrandom(bytes + filled, sizeof bytes - filled, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return fail("cannot generate an API secret", Error::last_os());
        filled += static_cast<size_t>(n);
    }
    constexpr std::string_view DIGITS = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : bytes) {
        text += DIGITS[byte >> 4];
        text += DIGITS[byte & 0xf];
    }
    return text;
}

}  // namespace quorin::ctl
