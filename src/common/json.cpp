#include "common/json.hpp"

#include <memory>
#include <vector>

#include "common/files.hpp"

namespace quorin {

namespace {

// Takes the serializer's output in pieces of at most 64 KiB. After a failed write the
// rest is dropped and the first error kept.
class DescriptorSink final : public nlohmann::detail::output_adapter_protocol<char> {
public:
    explicit DescriptorSink(int fd) : fd_(fd) { pending_.reserve(CAPACITY); }

    void write_character(char c) override { write_characters(&c, 1); }
    void write_characters(const char* text, std::size_t length) override {
        if (pending_.size() + length > CAPACITY) flush();
        if (length > CAPACITY) {
            put(std::string_view(text, length));
            return;
        }
        pending_.append(text, length);
    }
    Result<void> finish() {
        flush();
        return std::move(result_);
    }

private:
    static constexpr size_t CAPACITY = 65536;

    void flush() {
        put(pending_);
        pending_.clear();
    }
    void put(std::string_view data) {
        if (result_ && !data.empty()) result_ = write_all(fd_, data);
    }

    int fd_;
    std::string pending_;
    Result<void> result_;
};

// Builds the value like the library's own DOM parser, but counts nesting so that a
// hostile document cannot take more than `max_depth` levels.
class BoundedDomBuilder : public nlohmann::json_sax<Json> {
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
    bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& ex) override {
        error_ = std::string(ex.what());
        (void)position;
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
        Json& slot = parent[key_];
        slot = std::move(value);
        return &slot;
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
        return fail(ex.what());
    }
    return root;
}

std::string dump_compact(const Json& value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace); }

std::string dump_pretty(const Json& value) { return value.dump(2, ' ', false, Json::error_handler_t::replace); }

Result<void> write_pretty(int fd, const Json& value) {
    // The library's own serializer, as dump() uses it, with a descriptor for a sink.
    auto sink = std::make_shared<DescriptorSink>(fd);
    try {
        nlohmann::detail::serializer<Json> serializer(sink, ' ', Json::error_handler_t::replace);
        serializer.dump(value, true, false, 2);
    } catch (const std::exception& ex) {
        return fail(ex.what());
    }
    sink->write_character('\n');
    return sink->finish();
}

std::string json_quote(std::string_view text) { return dump_compact(Json(std::string(text))); }

}  // namespace quorin
