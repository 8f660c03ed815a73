#pragma once

// Client-supplied JSON (the Mihomo configuration, bypass and server lists): the parser,
// the read-only view the policies use and the writer of the file a core reads.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"
#include "common/json_output.hpp"

namespace quorin {

class JsonDocument;

// One value inside a JsonDocument; valid while the document lives and stays in place.
class JsonView {
public:
    // "null", "boolean", "number", "string", "array" or "object".
    const char* type_name() const;
    bool is_null() const;
    bool is_boolean() const;
    bool is_string() const;
    bool is_array() const;
    bool is_object() const;
    // True for true, false for false and for anything else.
    bool is_true() const;
    // A number written without fraction or exponent that fits 64 bits, signed or not.
    bool is_integer() const;
    bool is_integer_equal_to(int64_t expected) const;
    // The unescaped text of a string, the token of a number; empty otherwise.
    std::string_view text() const;
    // Elements of an array, members of an object as written (a repeated key counts each
    // time); 0 for anything else.
    size_t size() const;
    bool empty() const { return size() == 0; }
    // The member's value; the last one when the key is repeated.
    std::optional<JsonView> find(std::string_view key) const;

    class Cursor {
    public:
        JsonView operator*() const { return JsonView(*document_, at_); }
        Cursor& operator++();
        bool operator==(const Cursor&) const = default;

    private:
        friend class JsonView;
        Cursor(const JsonDocument& document, uint32_t at) : document_(&document), at_(at) {}
        const JsonDocument* document_;
        uint32_t at_;
    };
    struct Range {
        Cursor first;
        Cursor last;
        Cursor begin() const { return first; }
        Cursor end() const { return last; }
    };
    // An array's elements, or an object's keys (as strings) and values alternating, in
    // the order written; nothing for anything else.
    Range children() const;

private:
    friend class JsonDocument;
    friend class PrettyWriter;
    JsonView(const JsonDocument& document, uint32_t index) : document_(&document), index_(index) {}

    const JsonDocument* document_;
    uint32_t index_;
};

// Client-supplied JSON, parsed into one flat array of 12-byte nodes that point into the
// text it owns: memory stays a small multiple of the text whatever its shape, and the
// whole value goes in two releases. Numbers keep their text, so they are written back
// exactly as given. Accepts and refuses exactly what parse_json does.
class JsonDocument {
public:
    static Result<JsonDocument> parse(std::string text, size_t max_depth);

    JsonView root() const { return JsonView(*this, 0); }

    // Refuses a document with an object key of more than WRITTEN_KEY_MAX_CHARS characters
    // in the writer's form.
    Result<void> check_written_keys() const;

    enum class Kind : uint8_t { null, false_literal, true_literal, integer, number, string, array, object };
    struct Node {
        Kind kind;
        // Strings: the text is in `unescaped_`, not in `text_`.
        bool unescaped;
        // Strings and numbers: offset and length of the text. Arrays and objects: the
        // number of elements or members, and the index just past their last node.
        uint32_t first;
        uint32_t second;
    };

private:
    friend class JsonView;
    friend class JsonParser;
    friend class PrettyWriter;

    std::string_view text_of(const Node& node) const;

    std::string text_;
    std::string unescaped_;
    std::vector<Node> nodes_;
};

// A YAML reader takes a key whose written form, quotes and escapes included, is longer
// than this for no key at all, and cannot read the file then.
inline constexpr size_t WRITTEN_KEY_MAX_CHARS = 1024;

// The pretty form of a client's document, byte for byte what write_pretty gives for
// the same text parsed by parse_json, except that numbers are written as given and that
// the characters json_output::yaml_unsafe_length names are \u escapes: Mihomo reads the
// file as YAML. A document that check_written_keys refuses is refused with that error,
// and nothing is written.
Result<PrettyWrite> write_pretty(int fd, const JsonDocument& document, size_t max_bytes);

}  // namespace quorin
