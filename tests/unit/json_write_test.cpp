// The streamed pretty form must be byte for byte the in-memory one, however its
// pieces fall across the writer's buffer.

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include "common/files.hpp"
#include "common/json.hpp"

namespace quorin {
namespace {

std::string streamed(const Json& value, size_t max_bytes = SIZE_MAX, PrettyWrite expected = PrettyWrite::complete) {
    UniqueFd file(memfd_create("quorin-json-test", MFD_CLOEXEC));
    EXPECT_EQ(write_pretty(file.get(), value, max_bytes), expected);
    std::string text(static_cast<size_t>(lseek(file.get(), 0, SEEK_END)), '\0');
    EXPECT_EQ(pread(file.get(), text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
    return text;
}

TEST(JsonWriter, StreamsThePrettyFormExactly) {
    Json value = Json::object();
    for (int i = 0; i < 5000; ++i) value["k" + std::to_string(i)] = {{"n", i}, {"s", "ж\"\\\n"}, {"a", Json::array()}};
    value["long"] = std::string(200000, 'x');  // larger than the buffer on its own
    value["bad"] = std::string(
        "a\xff"
        "b");  // replaced as by the in-memory form
    value["nested"] = Json::parse(R"([[{"b":1,"a":[true,null,1.5]}]])");
    EXPECT_EQ(streamed(value), dump_pretty(value) + "\n");
    EXPECT_EQ(streamed(Json::object()), "{}\n");
    EXPECT_EQ(streamed(Json("x")), "\"x\"\n");
}

// The bound holds for the whole output, line feed included, and nothing beyond it is
// ever written: neither the piece that would cross it nor anything after.
TEST(JsonWriter, StopsBeforeTheOutputPassesTheBound) {
    Json deep = Json::parse(std::string(120, '[') + "1" + std::string(120, ']'));
    Json large = Json::array();
    for (int i = 0; i < 40; ++i) large.push_back(deep);  // some 20 pieces of 64 KiB
    for (const Json& value : {Json("short"), large}) {
        const std::string whole = dump_pretty(value) + "\n";
        EXPECT_EQ(streamed(value, whole.size()), whole);
        for (size_t bound : {whole.size() - 1, whole.size() / 2, size_t{0}}) {
            std::string cut = streamed(value, bound, PrettyWrite::too_large);
            EXPECT_LE(cut.size(), bound);
            EXPECT_EQ(cut, whole.substr(0, cut.size()));
        }
    }
}

}  // namespace
}  // namespace quorin
