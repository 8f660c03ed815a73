// The JSON candidates for client input, on the 8 MiB configuration and on hostile
// shapes of the same size: parse, pretty write to /dev/null with members sorted and a
// repeated key written once, release. Each measurement runs in a fresh child process,
// so that its peak RSS (VmHWM) is its own; times are medians of QUORIN_BENCH_ROUNDS.

#include <fcntl.h>
#include <malloc.h>
#include <rapidjson/document.h>
#include <simdjson.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "bench/fixtures.hpp"
#include "common/json.hpp"
#include "common/json_document.hpp"
#include "common/unique_fd.hpp"

namespace {

using namespace quorin;
using Clock = std::chrono::steady_clock;

constexpr size_t SIZE = bench::MAX_MIHOMO_CONFIG_BYTES;

std::string repeated(std::string_view open, std::string_view item, std::string_view close) {
    std::string text(open);
    while (text.size() + item.size() + close.size() + 1 <= SIZE) {
        if (text.size() > open.size()) text += ',';
        text += item;
    }
    return text + std::string(close);
}

double status_mib(std::string_view field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with(field)) return std::strtod(line.c_str() + field.size(), nullptr) / 1024.0;
    }
    return 0;
}

// Starts the peak anew at the current RSS (Linux 4.0 and later).
void reset_peak() {
    std::ofstream clear_refs("/proc/self/clear_refs");
    clear_refs << "5";
}

// A minimal buffered writer for the simdjson candidate.
class Out {
public:
    explicit Out(int fd) : fd_(fd) {}
    ~Out() { flush(); }
    void put(std::string_view text) {
        if (buffer_.size() + text.size() > 65536) flush();
        buffer_ += text;
    }
    void flush() {
        if (!buffer_.empty() && write(fd_, buffer_.data(), buffer_.size()) < 0) std::abort();
        buffer_.clear();
    }

private:
    int fd_;
    std::string buffer_;
};

void quoted(Out& out, std::string_view text) { out.put(json_quote(text)); }

void simdjson_pretty(Out& out, simdjson::dom::element value, size_t level) {
    using simdjson::dom::element_type;
    const std::string indent(2 * (level + 1), ' ');
    switch (value.type()) {
        case element_type::OBJECT: {
            std::vector<std::pair<std::string_view, simdjson::dom::element>> members;
            simdjson::dom::object object = value.get_object().value_unsafe();
            for (auto member : object) members.emplace_back(member.key, member.value);
            if (members.empty()) return out.put("{}");
            std::stable_sort(members.begin(), members.end(), [](auto& a, auto& b) { return a.first < b.first; });
            out.put("{\n");
            for (size_t i = 0; i < members.size(); ++i) {
                if (i + 1 < members.size() && members[i].first == members[i + 1].first) continue;
                out.put(indent);
                quoted(out, members[i].first);
                out.put(": ");
                simdjson_pretty(out, members[i].second, level + 1);
                out.put(i + 1 < members.size() ? ",\n" : "\n");
            }
            out.put(std::string(2 * level, ' ') + "}");
            return;
        }
        case element_type::ARRAY: {
            simdjson::dom::array array = value.get_array().value_unsafe();
            if (array.size() == 0) return out.put("[]");
            out.put("[\n");
            size_t left = array.size();
            for (auto element : array) {
                out.put(indent);
                simdjson_pretty(out, element, level + 1);
                out.put(--left > 0 ? ",\n" : "\n");
            }
            out.put(std::string(2 * level, ' ') + "]");
            return;
        }
        case element_type::STRING:
            return quoted(out, value.get_string().value_unsafe());
        default:
            out.put(simdjson::minify(value));
            return;
    }
}

struct Figures {
    double parse_ms = 0, write_ms = 0, release_ms = 0, peak_mib = 0;
    bool refused = false;
};

double since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

Figures nlohmann_candidate(const std::string& text, int sink) {
    Figures f;
    auto start = Clock::now();
    auto value = std::make_unique<Result<Json>>(parse_json(text, 127));
    f.parse_ms = since(start);
    if (!*value) return f.refused = true, f;
    start = Clock::now();
    (void)write_pretty(sink, **value, SIZE_MAX);
    f.write_ms = since(start);
    start = Clock::now();
    value.reset();
    f.release_ms = since(start);
    return f;
}

Figures document_candidate(const std::string& text, int sink) {
    Figures f;
    auto start = Clock::now();
    auto document = std::make_unique<Result<JsonDocument>>(JsonDocument::parse(text, 127));
    f.parse_ms = since(start);
    if (!*document) return f.refused = true, f;
    start = Clock::now();
    (void)write_pretty(sink, **document, SIZE_MAX);
    f.write_ms = since(start);
    start = Clock::now();
    document.reset();
    f.release_ms = since(start);
    return f;
}

Figures simdjson_candidate(const std::string& text, int sink) {
    Figures f;
    auto start = Clock::now();
    auto parser = std::make_unique<simdjson::dom::parser>();
    simdjson::padded_string padded(text);
    auto root = parser->parse(padded);
    f.parse_ms = since(start);
    if (root.error()) return f.refused = true, f;
    start = Clock::now();
    {
        Out out(sink);
        simdjson_pretty(out, root.value_unsafe(), 0);
    }
    f.write_ms = since(start);
    start = Clock::now();
    parser.reset();
    f.release_ms = since(start);
    return f;
}

// Parse and release only: the writer would be the same walk as simdjson's.
Figures rapidjson_candidate(const std::string& text, int) {
    Figures f;
    auto start = Clock::now();
    auto document = std::make_unique<rapidjson::Document>();
    document->Parse<rapidjson::kParseValidateEncodingFlag | rapidjson::kParseFullPrecisionFlag |
                    rapidjson::kParseIterativeFlag>(text.data(), text.size());
    f.parse_ms = since(start);
    if (document->HasParseError()) return f.refused = true, f;
    start = Clock::now();
    document.reset();
    f.release_ms = since(start);
    return f;
}

Figures in_child(const std::function<Figures(const std::string&, int)>& candidate, const std::string& text) {
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) std::abort();
    pid_t pid = fork();
    if (pid == 0) {
        UniqueFd sink(open("/dev/null", O_WRONLY | O_CLOEXEC));
        malloc_trim(0);
        reset_peak();
        const double before = status_mib("VmRSS:");
        Figures f = candidate(text, sink.get());
        f.peak_mib = status_mib("VmHWM:") - before;
        if (write(pipe_fds[1], &f, sizeof f) != sizeof f) _exit(1);
        _exit(0);
    }
    close(pipe_fds[1]);
    Figures f;
    if (read(pipe_fds[0], &f, sizeof f) != sizeof f) std::abort();
    close(pipe_fds[0]);
    waitpid(pid, nullptr, 0);
    return f;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main() {
    const char* rounds_text = std::getenv("QUORIN_BENCH_ROUNDS");
    const int rounds = rounds_text ? std::max(1, std::atoi(rounds_text)) : 3;
    const std::string nest = std::string(124, '[') + std::string(124, ']');
    const std::vector<std::pair<const char*, std::string>> shapes = {
        {"realistic 8 MiB configuration", bench::mihomo_config(SIZE)},
        {"empty arrays", repeated("[", "[]", "]")},
        {"empty objects", repeated("[", "{}", "]")},
        {"arrays nested 125 deep", repeated("[", nest, "]")},
        {"empty strings", repeated("[", "\"\"", "]")},
        {"integers beyond 64 bits", repeated("[", "18446744073709551616", "]")},
    };
    const std::vector<std::pair<const char*, std::function<Figures(const std::string&, int)>>> candidates = {
        {"nlohmann-json 3.11 (today)", nlohmann_candidate},
        {"simdjson 3.0.1 DOM + writer", simdjson_candidate},
        {"RapidJSON 1.1 DOM (parse only)", rapidjson_candidate},
        {"own document + writer", document_candidate},
    };
    std::printf("peak: the child's VmHWM over its RSS before the candidate (text included); medians of %d rounds\n",
                rounds);
    std::printf("%-30s %-32s %9s %9s %9s %9s %10s\n", "shape", "candidate", "parse ms", "write ms", "free ms",
                "total ms", "peak MiB");
    for (const auto& [shape, text] : shapes) {
        for (const auto& [name, candidate] : candidates) {
            std::vector<double> parse, write_ms, release, peak;
            bool refused = false;
            for (int round = 0; round < rounds; ++round) {
                Figures f = in_child(candidate, text);
                refused = f.refused;
                parse.push_back(f.parse_ms);
                write_ms.push_back(f.write_ms);
                release.push_back(f.release_ms);
                peak.push_back(f.peak_mib);
            }
            double total = median(parse) + median(write_ms) + median(release);
            std::printf("%-30s %-32s %9.1f %9.1f %9.1f %9.1f %10.1f%s\n", shape, name, median(parse), median(write_ms),
                        median(release), total, median(peak), refused ? "  REFUSED" : "");
        }
    }
}
