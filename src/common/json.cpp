#include "common/json.hpp"

#include <array>
#include <cstring>
#include <memory>
#include <vector>

#include "common/files.hpp"

namespace quorin {

namespace {

// Thrown by the sink to abandon the serializer's walk as soon as the output is too large.
struct OutputTooLarge {};

// Takes the serializer's output in pieces of at most 64 KiB. After a failed write the
// rest is dropped and the first error kept. The serializer hands over most of its
// output one character at a time, so that path is kept short: the bound on the total
// is checked only when a piece is written.
class DescriptorSink final : public nlohmann::detail::output_adapter_protocol<char> {
public:
    DescriptorSink(int fd, size_t max_bytes) : fd_(fd), room_(max_bytes) {}

    void write_character(char c) override {
        if (used_ == pending_.size()) flush();
        pending_[used_++] = c;
    }
    void write_characters(const char* text, std::size_t length) override {
        if (length > pending_.size() - used_) flush();
        if (length > pending_.size()) {
            put(std::string_view(text, length));
            return;
        }
        std::memcpy(pending_.data() + used_, text, length);
        used_ += length;
    }
    Result<void> finish() {
        flush();
        return std::move(result_);
    }

private:
    void flush() {
        put(std::string_view(pending_.data(), used_));
        used_ = 0;
    }
    void put(std::string_view data) {
        if (!result_ || data.empty()) return;
        if (data.size() > room_) throw OutputTooLarge{};
        room_ -= data.size();
        result_ = write_all(fd_, data);
    }

    int fd_;
    size_t room_;
    std::array<char, 65536> pending_;
    size_t used_ = 0;
    Result<void> result_;
};

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

Result<PrettyWrite> write_pretty(int fd, const Json& value, size_t max_bytes) {
    // The library's own serializer, as dump() uses it, with a descriptor for a sink.
    auto sink = std::make_shared<DescriptorSink>(fd, max_bytes);
    try {
        nlohmann::detail::serializer<Json> serializer(sink, ' ', Json::error_handler_t::replace);
        serializer.dump(value, true, false, 2);
        sink->write_character('\n');
        if (auto finished = sink->finish(); !finished) return fail(finished.error());
    } catch (const OutputTooLarge&) {
        return PrettyWrite::too_large;
    } catch (const std::exception& ex) {
        return fail(ex.what());
    }
    return PrettyWrite::complete;
}

std::string json_quote(std::string_view text) { return dump_compact(Json(std::string(text))); }

}  // namespace quorin
