#include "common/json.hpp"

#include <memory>

#include "common/text.hpp"

namespace quorin {

using json_output::DescriptorSink;
using json_output::put_quoted;
using json_output::StringSink;

namespace {

// Builds the value like the library's own DOM parser, but counts nesting so that a
// hostile document cannot take more than `max_depth` levels.
class BoundedDomBuilder final : public nlohmann::json_sax<Json> {
public:
    BoundedDomBuilder(Json& root, size_t max_depth) : root_(root), max_depth_(max_depth) {}

    bool null() override { return put(Json(nullptr)); }
    bool boolean(bool value) override { return put(Json(value)); }
    bool number_integer(number_integer_t value) override { return put(Json(value)); }
    bool number_unsigned(number_unsigned_t value) override { return put(Json(value)); }
    bool number_float(number_float_t value, const string_t&) override { return put(Json(value)); }
    bool string(string_t& value) override { return put(Json(std::move(value))); }
    bool binary(binary_t& value) override { return put(Json::binary(std::move(value))); }
    bool start_object(std::size_t) override { return open(Json::object()); }
    bool key(string_t& value) override {
        key_ = std::move(value);
        return true;
    }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return open(Json::array()); }
    bool end_array() override { return close(); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::json::exception& ex) override {
        error_ = library_message(ex);
        return false;
    }

    const std::string& error() const { return error_; }

private:
    // Places a value where the parser is: the root, the end of an array, or the last key.
    Json* place(Json&& value) {
        if (stack_.empty()) {
            root_ = std::move(value);
            return &root_;
        }
        Json& parent = *stack_.back();
        if (parent.is_array()) {
            parent.push_back(std::move(value));
            return &parent.back();
        }
        // The key moves into the object; a repeated key keeps its last value.
        auto member = parent.get_ref<Json::object_t&>().insert_or_assign(std::move(key_), std::move(value));
        return &member.first->second;
    }
    bool put(Json&& value) {
        place(std::move(value));
        return true;
    }
    bool open(Json&& container) {
        if (stack_.size() >= max_depth_) {
            error_ = "recursion limit exceeded";
            return false;
        }
        stack_.push_back(place(std::move(container)));
        return true;
    }
    bool close() {
        stack_.pop_back();
        return true;
    }

    Json& root_;
    size_t max_depth_;
    std::vector<Json*> stack_;
    std::string key_;
    std::string error_;
};

// The pretty form of the library's value through its public interface.
void put_pretty(DescriptorSink& sink, const Json& value, size_t level) {
    if (sink.stopped()) return;
    if (value.is_string()) {
        const auto& text = value.get_ref<const std::string&>();
        if (is_valid_utf8(text)) {
            put_quoted(sink, text);
        } else {
            sink.put(dump_compact(value));  // the library replaces invalid bytes
        }
        return;
    }
    if (!value.is_structured()) {
        sink.put(value.dump());
        return;
    }
    const bool object = value.is_object();
    if (value.empty()) {
        sink.put(object ? "{}" : "[]");
        return;
    }
    sink.put(object ? "{\n" : "[\n");
    size_t left = value.size();
    for (auto member = value.begin(); member != value.end() && !sink.stopped(); ++member) {
        sink.indent(2 * (level + 1));
        if (object) {
            put_quoted(sink, member.key());
            sink.put(": ");
        }
        put_pretty(sink, member.value(), level + 1);
        sink.put(--left > 0 ? ",\n" : "\n");
    }
    sink.indent(2 * level);
    sink.put(object ? '}' : ']');
}

}  // namespace

Result<Json> parse_json(std::string_view text, size_t max_depth) {
    // The library skips a leading byte order mark and takes a NUL byte for the end of
    // the input; neither is JSON, and what follows a NUL must not be silently dropped.
    if (text.starts_with("\xEF\xBB\xBF")) return fail("byte order mark before the JSON value");
    if (text.find('\0') != std::string_view::npos) return fail("NUL byte in JSON text");
    Json root;
    BoundedDomBuilder builder(root, max_depth);
    try {
        if (!Json::sax_parse(text.begin(), text.end(), &builder)) {
            return fail(builder.error().empty() ? std::string("invalid JSON") : builder.error());
        }
    } catch (const std::exception& ex) {
        return fail(library_message(ex));
    }
    return root;
}

std::string library_message(const std::exception& ex) {
    std::string_view text = ex.what();
    constexpr std::string_view PREFIX = "[json.exception.";
    size_t end = text.find("] ");
    if (!text.starts_with(PREFIX) || end == std::string_view::npos) return std::string(text);
    return std::string(text.substr(end + 2));
}

std::string dump_compact(const Json& value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace); }

std::string dump_pretty(const Json& value) { return value.dump(2, ' ', false, Json::error_handler_t::replace); }

Result<PrettyWrite> write_pretty(int fd, const Json& value, size_t max_bytes) {
    auto sink = std::make_unique<DescriptorSink>(fd, max_bytes);
    put_pretty(*sink, value, 0);
    sink->put('\n');
    return sink->finish();
}

std::string json_quote(std::string_view text) {
    std::string quoted;
    quoted.reserve(text.size() + 2);
    append_json_quote(quoted, text);
    return quoted;
}

void append_json_quote(std::string& out, std::string_view text) {
    if (!is_valid_utf8(text)) {
        out += dump_compact(Json(std::string(text)));  // the library replaces invalid bytes
        return;
    }
    StringSink sink{out};
    put_quoted(sink, text);
}

}  // namespace quorin
