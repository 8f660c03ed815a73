// Micro-benchmarks of the pure paths a client can drive, at their maximal sizes.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sodium.h>

#include "bench/fixtures.hpp"
#include "common/base64.hpp"
#include "common/json.hpp"
#include "common/json_document.hpp"
#include "common/text.hpp"
#include "common/unique_fd.hpp"
#include "host/bypass.hpp"
#include "mihomo/policy.hpp"
#include "privileged/session.hpp"
#include "windows_tun_config/singbox_config.hpp"

namespace quorin::bench {

namespace {

const std::string& config_text() {
    static const std::string text = mihomo_config(MAX_MIHOMO_CONFIG_BYTES);
    return text;
}

const std::string& config_word() {
    static const std::string word = encode_base64_url(config_text());
    return word;
}

const Json& config_value() {
    static const Json value = *parse_json(config_text(), MIHOMO_CONFIG_MAX_DEPTH);
    return value;
}

void BM_Base64Decode(benchmark::State& state) {
    const std::string word = base64_word(MAX_REQUEST_BYTES);
    for (auto _ : state) {
        auto bytes = decode_base64_url(word);
        benchmark::DoNotOptimize(bytes);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * word.size()));
}
BENCHMARK(BM_Base64Decode)->Unit(benchmark::kMillisecond);

// libsodium's constant-time decoder on the same word, as a point of comparison.
void BM_Base64DecodeLibsodium(benchmark::State& state) {
    const std::string word = base64_word(MAX_REQUEST_BYTES);
    std::string bytes(word.size() / 4 * 3 + 3, '\0');
    for (auto _ : state) {
        size_t length = 0;
        int rc = sodium_base642bin(reinterpret_cast<unsigned char*>(bytes.data()), bytes.size(), word.data(),
                                   word.size(), nullptr, &length, nullptr, sodium_base64_VARIANT_URLSAFE_NO_PADDING);
        benchmark::DoNotOptimize(rc);
        benchmark::DoNotOptimize(bytes.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * word.size()));
}
BENCHMARK(BM_Base64DecodeLibsodium)->Unit(benchmark::kMillisecond);

void split_request(benchmark::State& state, const std::string& line) {
    for (auto _ : state) {
        bool valid = is_valid_utf8(line);
        auto words = split_white_space(line);
        benchmark::DoNotOptimize(valid);
        benchmark::DoNotOptimize(words);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * line.size()));
}

// The largest mihomo-up request: one 11 MB word and blanks up to 12 MiB.
void BM_RequestSplitMihomoUp(benchmark::State& state) {
    split_request(state, mihomo_up_line(config_text(), MAX_REQUEST_BYTES));
}
BENCHMARK(BM_RequestSplitMihomoUp)->Unit(benchmark::kMillisecond);

// The slow path: 12 MiB of short Cyrillic words separated by no-break spaces.
void BM_RequestSplitNonAscii(benchmark::State& state) {
    std::string line;
    while (line.size() + 16 < MAX_REQUEST_BYTES) line += "слово\u00A0";
    split_request(state, line);
}
BENCHMARK(BM_RequestSplitNonAscii)->Unit(benchmark::kMillisecond);

void BM_MihomoDecodeParsePolicy(benchmark::State& state) {
    for (auto _ : state) {
        auto config = decode_mihomo_config(config_word());
        auto device = check_mihomo_policy(*config);
        benchmark::DoNotOptimize(device);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * config_text().size()));
}
BENCHMARK(BM_MihomoDecodeParsePolicy)->Unit(benchmark::kMillisecond);

void BM_MihomoParseOnly(benchmark::State& state) {
    for (auto _ : state) {
        auto config = parse_json(config_text(), MIHOMO_CONFIG_MAX_DEPTH);
        benchmark::DoNotOptimize(config);
        state.PauseTiming();
        config = Json();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * config_text().size()));
}
BENCHMARK(BM_MihomoParseOnly)->Unit(benchmark::kMillisecond);

void BM_MihomoValueRelease(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        Json copy = config_value();
        state.ResumeTiming();
        copy = Json();
        benchmark::DoNotOptimize(copy);
    }
}
BENCHMARK(BM_MihomoValueRelease)->Unit(benchmark::kMillisecond);

// The helper's own document: parsing (its release is two frees, so it is included).
void BM_MihomoDocumentParse(benchmark::State& state) {
    for (auto _ : state) {
        auto document = JsonDocument::parse(config_text(), MIHOMO_CONFIG_MAX_DEPTH);
        benchmark::DoNotOptimize(document);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * config_text().size()));
}
BENCHMARK(BM_MihomoDocumentParse)->Unit(benchmark::kMillisecond);

void BM_MihomoDocumentWrite(benchmark::State& state) {
    UniqueFd sink(open("/dev/null", O_WRONLY | O_CLOEXEC));
    auto document = JsonDocument::parse(config_text(), MIHOMO_CONFIG_MAX_DEPTH);
    for (auto _ : state) {
        auto written = write_pretty(sink.get(), *document, CONFIG_FILE_MAX_BYTES);
        benchmark::DoNotOptimize(written);
    }
}
BENCHMARK(BM_MihomoDocumentWrite)->Unit(benchmark::kMillisecond);

// The configuration file's form, streamed as write_json_file does (here to /dev/null).
void BM_MihomoPrettyWrite(benchmark::State& state) {
    UniqueFd sink(open("/dev/null", O_WRONLY | O_CLOEXEC));
    for (auto _ : state) {
        auto written = write_pretty(sink.get(), config_value(), CONFIG_FILE_MAX_BYTES);
        benchmark::DoNotOptimize(written);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * dump_pretty(config_value()).size()));
}
BENCHMARK(BM_MihomoPrettyWrite)->Unit(benchmark::kMillisecond);

// 1024 entries of 4096 bytes: trimming, slashes, sort and duplicate removal.
void BM_BypassNormalize(benchmark::State& state) {
    const std::vector<std::string> entries = bypass_entries(1024, 4096);
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<std::string> copy = entries;
        state.ResumeTiming();
        auto list = normalize_bypass_list(std::move(copy));
        benchmark::DoNotOptimize(list);
    }
}
BENCHMARK(BM_BypassNormalize)->Unit(benchmark::kMillisecond);

// The same list as a request word: Base64, JSON and normalisation.
void BM_BypassDecode(benchmark::State& state) {
    const std::string word = encode_base64_url(json_string_array(bypass_entries(1024, 4096)));
    for (auto _ : state) {
        auto list = decode_bypass_list(word);
        benchmark::DoNotOptimize(list);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * word.size()));
}
BENCHMARK(BM_BypassDecode)->Unit(benchmark::kMillisecond);

// 64 server entries and a maximal bypass list into the written sing-box document.
void BM_ServerListAndDocument(benchmark::State& state) {
    const std::vector<std::string> servers = server_entries();
    const BypassList bypass = *normalize_bypass_list(bypass_entries(64, 256));
    for (auto _ : state) {
        ServerList list = normalize_server_list(servers);
        TunParameters parameters{.interface_name = "qtun0",
                                 .ipv6 = true,
                                 .auto_route = true,
                                 .mtu = 1500,
                                 .socks_port = 10808,
                                 .bypass_processes = bypass,
                                 .server_host_names = extract_host_names(list),
                                 .route_exclusions = extract_ipv4_servers(list)};
        std::string text = dump_pretty(build_singbox_config(parameters));
        benchmark::DoNotOptimize(text);
    }
}
BENCHMARK(BM_ServerListAndDocument)->Unit(benchmark::kMicrosecond);

}  // namespace

}  // namespace quorin::bench
