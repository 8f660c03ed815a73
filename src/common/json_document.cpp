#include "common/json_document.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <optional>
#include <variant>

#include "common/json_output.hpp"
#include "common/text.hpp"

namespace quorin {

using json_output::DescriptorSink;
using json_output::Escaping;
using json_output::put_quoted;

namespace {

using Kind = JsonDocument::Kind;
using Node = JsonDocument::Node;

bool is_json_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// A number the library would read as a floating-point one is refused when it does not
// fit a double; strtod is what the library decides that with.
bool is_finite_number(std::string_view token) {
    std::string copy(token);
    return std::isfinite(std::strtod(copy.c_str(), nullptr));
}

// The index just past a value and everything in it.
uint32_t end_of(const std::vector<Node>& nodes, uint32_t index) {
    const Node& node = nodes[index];
    return node.kind == Kind::array || node.kind == Kind::object ? node.second : index + 1;
}

// The value of an integer token that fits 64 bits: a negative one signed, others unsigned.
std::optional<std::variant<int64_t, uint64_t>> integer_value(std::string_view token) {
    if (token.front() == '-') {
        int64_t value = 0;
        if (std::from_chars(token.begin(), token.end(), value).ec != std::errc()) return std::nullopt;
        return value;
    }
    uint64_t value = 0;
    if (std::from_chars(token.begin(), token.end(), value).ec != std::errc()) return std::nullopt;
    return value;
}

}  // namespace

// One pass over the text with an explicit stack of open containers; every failure is
// a refusal of the whole text.
class JsonParser {
public:
    JsonParser(JsonDocument& document, size_t max_depth)
        : document_(document), text_(document.text_), max_depth_(max_depth) {}

    Result<void> run() {
        for (;;) {
            skip_blanks();
            auto opened = value();
            if (!opened) return fail(opened.error());
            if (*opened) continue;
            for (;;) {
                skip_blanks();
                if (open_.empty()) {
                    if (pos_ != text_.size()) return error("text after the JSON value");
                    return {};
                }
                const bool in_object = document_.nodes_[open_.back()].kind == Kind::object;
                const char c = peek();
                if (c == ',') {
                    ++pos_;
                    if (in_object) {
                        if (auto key = member_key(); !key) return key;
                    }
                    break;
                }
                if (c != (in_object ? '}' : ']')) return error("expected ',' or the end of the container");
                ++pos_;
                close();
            }
        }
    }

private:
    char peek() const { return pos_ < text_.size() ? text_[pos_] : '\0'; }
    void skip_blanks() {
        while (pos_ < text_.size() && is_json_blank(text_[pos_])) ++pos_;
    }
    std::unexpected<Error> error(const std::string& what) const {
        return fail(what + " at byte " + std::to_string(pos_));
    }
    uint32_t add(Kind kind, size_t first, size_t second, bool unescaped = false) {
        if (!open_.empty()) ++document_.nodes_[open_.back()].first;
        document_.nodes_.push_back(Node{kind, unescaped, static_cast<uint32_t>(first), static_cast<uint32_t>(second)});
        return static_cast<uint32_t>(document_.nodes_.size() - 1);
    }
    void close() {
        document_.nodes_[open_.back()].second = static_cast<uint32_t>(document_.nodes_.size());
        open_.pop_back();
    }

    // A value at the current position. True when it opened a container whose first
    // element (or member value) is to follow.
    Result<bool> value() {
        const char c = peek();
        if (c == '{' || c == '[') return container(c == '{');
        if (c == '"') {
            if (auto parsed = string(); !parsed) return fail(parsed.error());
            return false;
        }
        if (c == '-' || is_digit(c)) {
            if (auto parsed = number(); !parsed) return fail(parsed.error());
            return false;
        }
        for (auto [word, kind] :
             {std::pair{std::string_view("null"), Kind::null}, std::pair{std::string_view("true"), Kind::true_literal},
              std::pair{std::string_view("false"), Kind::false_literal}}) {
            if (text_.substr(pos_, word.size()) == word) {
                add(kind, 0, 0);
                pos_ += word.size();
                return false;
            }
        }
        return error("expected a JSON value");
    }

    Result<bool> container(bool object) {
        if (open_.size() >= max_depth_) return error("nesting deeper than " + std::to_string(max_depth_) + " levels");
        open_.push_back(add(object ? Kind::object : Kind::array, 0, 0));
        ++pos_;
        skip_blanks();
        if (peek() == (object ? '}' : ']')) {
            ++pos_;
            close();
            return false;
        }
        if (object) {
            if (auto key = member_key(); !key) return fail(key.error());
        }
        return true;
    }

    // The key and the colon of an object member; its value follows. Keys are nodes
    // of their own, just before their value.
    Result<void> member_key() {
        skip_blanks();
        if (peek() != '"') return error("expected a member name");
        auto key = string();
        if (!key) return key;
        --document_.nodes_[open_.back()].first;  // a member counts once, for its value
        skip_blanks();
        if (peek() != ':') return error("expected ':'");
        ++pos_;
        skip_blanks();
        return {};
    }

    Result<void> string() {
        const size_t start = ++pos_;
        for (;;) {
            if (pos_ >= text_.size()) return error("unterminated string");
            const auto c = static_cast<unsigned char>(text_[pos_]);
            if (c == '"') break;
            if (c == '\\') return escaped_string(start);
            if (c < 0x20) return error("control character in a string");
            ++pos_;
        }
        add(Kind::string, start, pos_ - start);
        ++pos_;
        return {};
    }

    // The rest of a string from its first backslash on, unescaped into the document.
    Result<void> escaped_string(size_t start) {
        std::string& out = document_.unescaped_;
        const size_t first = out.size();
        out.append(text_, start, pos_ - start);
        for (;;) {
            if (pos_ >= text_.size()) return error("unterminated string");
            const auto c = static_cast<unsigned char>(text_[pos_]);
            if (c == '"') break;
            if (c < 0x20) return error("control character in a string");
            if (c != '\\') {
                out += static_cast<char>(c);
                ++pos_;
                continue;
            }
            if (auto escape = unescape(out); !escape) return escape;
        }
        add(Kind::string, first, out.size() - first, true);
        ++pos_;
        return {};
    }

    std::optional<char32_t> hex4(size_t at) const {
        if (at + 4 > text_.size()) return std::nullopt;
        char32_t value = 0;
        for (size_t i = at; i < at + 4; ++i) {
            int digit = hex_value(text_[i]);
            if (digit < 0) return std::nullopt;
            value = value * 16 + static_cast<char32_t>(digit);
        }
        return value;
    }

    Result<void> unescape(std::string& out) {
        const char c = pos_ + 1 < text_.size() ? text_[pos_ + 1] : '\0';
        pos_ += 2;
        switch (c) {
            case '"':
                out += '"';
                return {};
            case '\\':
                out += '\\';
                return {};
            case '/':
                out += '/';
                return {};
            case 'b':
                out += '\b';
                return {};
            case 'f':
                out += '\f';
                return {};
            case 'n':
                out += '\n';
                return {};
            case 'r':
                out += '\r';
                return {};
            case 't':
                out += '\t';
                return {};
            case 'u':
                break;
            default:
                return error("invalid escape");
        }
        auto unit = hex4(pos_);
        if (!unit) return error("invalid \\u escape");
        pos_ += 4;
        char32_t code = *unit;
        if (code >= 0xDC00 && code <= 0xDFFF) return error("low surrogate without a high one");
        if (code >= 0xD800 && code <= 0xDBFF) {
            auto low = text_.substr(pos_, 2) == "\\u" ? hex4(pos_ + 2) : std::nullopt;
            if (!low || *low < 0xDC00 || *low > 0xDFFF) return error("high surrogate without a low one");
            pos_ += 6;
            code = 0x10000 + ((code - 0xD800) << 10) + (*low - 0xDC00);
        }
        append_utf8(out, code);
        return {};
    }

    size_t digits() {
        const size_t start = pos_;
        while (pos_ < text_.size() && is_digit(text_[pos_])) ++pos_;
        return pos_ - start;
    }

    Result<void> number() {
        const size_t start = pos_;
        if (peek() == '-') ++pos_;
        if (peek() == '0') {
            ++pos_;
        } else if (digits() == 0) {
            return error("invalid number");
        }
        const size_t integer_digits = pos_ - start;
        bool integer = true;
        if (peek() == '.') {
            ++pos_;
            if (digits() == 0) return error("invalid number");
            integer = false;
        }
        bool exponent = false;
        if (peek() == 'e' || peek() == 'E') {
            ++pos_;
            if (peek() == '+' || peek() == '-') ++pos_;
            if (digits() == 0) return error("invalid number");
            integer = false;
            exponent = true;
        }
        std::string_view token = text_.substr(start, pos_ - start);
        const bool small = integer && integer_value(token).has_value();
        // Without an exponent, up to 308 digits before the point cannot overflow.
        if (!small && (exponent || integer_digits > 308) && !is_finite_number(token))
            return error("number out of range");
        add(small ? Kind::integer : Kind::number, start, token.size());
        return {};
    }

    JsonDocument& document_;
    std::string_view text_;
    size_t max_depth_;
    size_t pos_ = 0;
    std::vector<uint32_t> open_;
};

Result<JsonDocument> JsonDocument::parse(std::string text, size_t max_depth) {
    if (text.size() >= std::numeric_limits<uint32_t>::max()) return fail("JSON text too large");
    // Outside strings any byte above 0x7F is an error anyway.
    if (!is_valid_utf8(text)) return fail("invalid UTF-8 in JSON text");
    JsonDocument document;
    document.text_ = std::move(text);
    // Every value takes at least two bytes but the last, so this never reallocates; pages
    // never written are never faulted in.
    document.nodes_.reserve(document.text_.size() / 2 + 2);
    JsonParser parser(document, max_depth);
    if (auto parsed = parser.run(); !parsed) return fail(parsed.error());
    return document;
}

std::string_view JsonDocument::text_of(const Node& node) const {
    const std::string& source = node.unescaped ? unescaped_ : text_;
    return std::string_view(source).substr(node.first, node.second);
}

const char* JsonView::type_name() const {
    switch (document_->nodes_[index_].kind) {
        case Kind::null:
            return "null";
        case Kind::false_literal:
        case Kind::true_literal:
            return "boolean";
        case Kind::integer:
        case Kind::number:
            return "number";
        case Kind::string:
            return "string";
        case Kind::array:
            return "array";
        case Kind::object:
            return "object";
    }
    return "null";
}

bool JsonView::is_null() const { return document_->nodes_[index_].kind == Kind::null; }
bool JsonView::is_boolean() const {
    Kind kind = document_->nodes_[index_].kind;
    return kind == Kind::true_literal || kind == Kind::false_literal;
}
bool JsonView::is_true() const { return document_->nodes_[index_].kind == Kind::true_literal; }
bool JsonView::is_string() const { return document_->nodes_[index_].kind == Kind::string; }
bool JsonView::is_array() const { return document_->nodes_[index_].kind == Kind::array; }
bool JsonView::is_object() const { return document_->nodes_[index_].kind == Kind::object; }
bool JsonView::is_integer() const { return document_->nodes_[index_].kind == Kind::integer; }

bool JsonView::is_integer_equal_to(int64_t expected) const {
    if (!is_integer()) return false;
    const auto value = integer_value(text());
    if (!value) return false;
    if (const auto* negative = std::get_if<int64_t>(&*value)) return *negative == expected;
    return expected >= 0 && std::get<uint64_t>(*value) == static_cast<uint64_t>(expected);
}

std::string_view JsonView::text() const {
    const Node& node = document_->nodes_[index_];
    if (node.kind != Kind::string && node.kind != Kind::integer && node.kind != Kind::number) return {};
    return document_->text_of(node);
}

size_t JsonView::size() const {
    const Node& node = document_->nodes_[index_];
    return node.kind == Kind::array || node.kind == Kind::object ? node.first : 0;
}

JsonView::Cursor& JsonView::Cursor::operator++() {
    at_ = end_of(document_->nodes_, at_);
    return *this;
}

JsonView::Range JsonView::children() const {
    const Node& node = document_->nodes_[index_];
    const bool container = node.kind == Kind::array || node.kind == Kind::object;
    const uint32_t end = container ? node.second : index_ + 1;
    return Range{Cursor(*document_, container ? index_ + 1 : end), Cursor(*document_, end)};
}

std::optional<JsonView> JsonView::find(std::string_view key) const {
    if (!is_object()) return std::nullopt;
    const auto& nodes = document_->nodes_;
    std::optional<JsonView> found;
    const uint32_t end = nodes[index_].second;
    for (uint32_t at = index_ + 1; at < end; at = end_of(nodes, at + 1)) {
        if (document_->text_of(nodes[at]) == key) found = JsonView(*document_, at + 1);
    }
    return found;
}

// Writes a document in the library's pretty form: members sorted by key bytes, a
// repeated key once with its last value.
class PrettyWriter {
public:
    PrettyWriter(const JsonDocument& document, DescriptorSink& sink)
        : document_(document), nodes_(document.nodes_), sink_(sink) {}

    void value(uint32_t index, size_t level) {
        const Node& node = nodes_[index];
        switch (node.kind) {
            case Kind::null:
                sink_.put("null");
                return;
            case Kind::false_literal:
                sink_.put("false");
                return;
            case Kind::true_literal:
                sink_.put("true");
                return;
            case Kind::integer:
            case Kind::number:
                sink_.put(document_.text_of(node));
                return;
            case Kind::string:
                put_quoted<Escaping::yaml_safe>(sink_, document_.text_of(node));
                return;
            case Kind::array:
                array(index, level);
                return;
            case Kind::object:
                object(index, level);
                return;
        }
    }

private:
    void array(uint32_t index, size_t level) {
        const Node& node = nodes_[index];
        if (node.first == 0) {
            sink_.put("[]");
            return;
        }
        sink_.put("[\n");
        for (uint32_t at = index + 1; at < node.second && !sink_.stopped(); at = end_of(nodes_, at)) {
            sink_.indent(2 * (level + 1));
            value(at, level + 1);
            sink_.put(end_of(nodes_, at) < node.second ? ",\n" : "\n");
        }
        sink_.indent(2 * level);
        sink_.put(']');
    }

    // Key indices in byte order of their keys; of equal keys only the last written.
    std::vector<uint32_t> sorted_keys(uint32_t index) const {
        const Node& node = nodes_[index];
        std::vector<uint32_t> keys;
        keys.reserve(node.first);
        for (uint32_t at = index + 1; at < node.second; at = end_of(nodes_, at + 1)) keys.push_back(at);
        std::sort(keys.begin(), keys.end(), [&](uint32_t a, uint32_t b) {
            int order = document_.text_of(nodes_[a]).compare(document_.text_of(nodes_[b]));
            return order != 0 ? order < 0 : a < b;
        });
        size_t kept = 0;
        for (size_t i = 0; i < keys.size(); ++i) {
            bool repeated =
                i + 1 < keys.size() && document_.text_of(nodes_[keys[i]]) == document_.text_of(nodes_[keys[i + 1]]);
            if (!repeated) keys[kept++] = keys[i];
        }
        keys.resize(kept);
        return keys;
    }

    void object(uint32_t index, size_t level) {
        if (nodes_[index].first == 0) {
            sink_.put("{}");
            return;
        }
        const std::vector<uint32_t> keys = sorted_keys(index);
        sink_.put("{\n");
        for (size_t i = 0; i < keys.size() && !sink_.stopped(); ++i) {
            sink_.indent(2 * (level + 1));
            put_quoted<Escaping::yaml_safe>(sink_, document_.text_of(nodes_[keys[i]]));
            sink_.put(": ");
            value(keys[i] + 1, level + 1);
            sink_.put(i + 1 < keys.size() ? ",\n" : "\n");
        }
        sink_.indent(2 * level);
        sink_.put('}');
    }

    const JsonDocument& document_;
    const std::vector<Node>& nodes_;
    DescriptorSink& sink_;
};

namespace {

// Counts the characters, not the bytes, that a sink would write.
struct CharacterCounter {
    size_t characters = 0;
    void put(char c) { characters += (static_cast<unsigned char>(c) & 0xC0) != 0x80; }
    void put(std::string_view text) {
        for (char c : text) put(c);
    }
};

}  // namespace

Result<void> JsonDocument::check_written_keys() const {
    for (uint32_t index = 0; index < nodes_.size(); ++index) {
        if (nodes_[index].kind != Kind::object) continue;
        for (uint32_t at = index + 1; at < nodes_[index].second; at = end_of(nodes_, at + 1)) {
            const std::string_view key = text_of(nodes_[at]);
            // Each byte is written as at most six characters (\u00XX), so most keys need no count.
            if (key.size() * 6 + 2 <= WRITTEN_KEY_MAX_CHARS) continue;
            CharacterCounter counter;
            put_quoted<Escaping::yaml_safe>(counter, key);
            if (counter.characters > WRITTEN_KEY_MAX_CHARS)
                return fail("ключ JSON в записанном виде длиннее 1024 символов");
        }
    }
    return {};
}

Result<PrettyWrite> write_pretty(int fd, const JsonDocument& document, size_t max_bytes) {
    if (auto keys = document.check_written_keys(); !keys) return fail(keys.error());
    auto sink = std::make_unique<DescriptorSink>(fd, max_bytes);
    PrettyWriter(document, *sink).value(0, 0);
    sink->put('\n');
    return sink->finish();
}

}  // namespace quorin
