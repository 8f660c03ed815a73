// The streamed pretty form must be byte for byte the in-memory one, however its
// pieces fall across the writer's buffer.

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include "common/files.hpp"
#include "common/json.hpp"

namespace quorin {
namespace {

std::string streamed(const Json& value) {
    UniqueFd file(memfd_create("quorin-json-test", MFD_CLOEXEC));
    EXPECT_TRUE(write_pretty(file.get(), value));
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

}  // namespace
}  // namespace quorin
