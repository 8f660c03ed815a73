#include "bench/fixtures.hpp"

#include <cstdint>
#include <stdexcept>

#include "common/base64.hpp"
#include "common/json.hpp"

namespace quorin::bench {

namespace {

constexpr std::string_view URL_SAFE_ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

// xorshift64: cheap, deterministic and good enough to vary the fixtures.
class Rng {
public:
    uint64_t next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 7;
        state_ ^= state_ << 17;
        return state_;
    }
    std::string hex(size_t digits) {
        std::string text;
        for (size_t i = 0; i < digits; ++i) text += "0123456789abcdef"[next() % 16];
        return text;
    }
    std::string uuid() { return hex(8) + "-" + hex(4) + "-4" + hex(3) + "-a" + hex(3) + "-" + hex(12); }

private:
    uint64_t state_ = 0x9E3779B97F4A7C15ull;
};

const char* const CITIES[] = {"Франкфурт", "Amsterdam", "Helsinki", "東京", "São Paulo", "Warszawa"};

std::string proxy_name(size_t i) { return "node-" + std::to_string(i) + " " + CITIES[i % 6]; }

std::string as_json_string(std::string_view text) { return json_quote(text); }

std::string proxy(size_t i, Rng& rng) {
    const std::string host = "n" + std::to_string(i) + ".edge-" + std::to_string(i % 97) + ".example-provider.net";
    const std::string head = "{\"name\":" + as_json_string(proxy_name(i)) + ",\"server\":\"" + host +
                             "\",\"port\":" + std::to_string(443 + i % 5) + ",\"udp\":true,";
    if (i % 3 == 0) {
        return head + "\"type\":\"trojan\",\"password\":\"" + rng.hex(32) + "\",\"sni\":\"" + host +
               "\",\"skip-cert-verify\":false,\"network\":\"grpc\",\"grpc-opts\":{\"grpc-service-name\":\"svc" +
               std::to_string(i % 13) + "\"}}";
    }
    return head + "\"type\":\"vless\",\"uuid\":\"" + rng.uuid() +
           "\",\"network\":\"ws\",\"tls\":true,\"servername\":\"" + host +
           "\",\"client-fingerprint\":\"chrome\",\"ws-opts\":{\"path\":\"/ray-" + std::to_string(i % 211) +
           "\",\"headers\":{\"Host\":\"" + host + "\"}}}";
}

std::string rule(size_t i) {
    switch (i % 4) {
        case 0:
            return "DOMAIN-SUFFIX,d" + std::to_string(i) + ".example-site.com,PROXY";
        case 1:
            return "IP-CIDR,10." + std::to_string(i % 256) + "." + std::to_string(i / 256 % 256) +
                   ".0/24,DIRECT,no-resolve";
        case 2:
            return "DOMAIN-KEYWORD,tracker" + std::to_string(i) + ",REJECT";
        default:
            return "PROCESS-NAME,app-" + std::to_string(i) + ".exe,DIRECT";
    }
}

std::string group(std::string_view name, std::string_view type, size_t proxies) {
    std::string text = "{\"name\":\"" + std::string(name) + "\",\"type\":\"" + std::string(type) +
                       "\",\"url\":\"https://www.gstatic.com/generate_204\",\"interval\":300,\"proxies\":[";
    for (size_t i = 0; i < proxies; ++i) {
        if (i) text += ',';
        text += as_json_string(proxy_name(i));
    }
    return text + "]}";
}

}  // namespace

std::string mihomo_config(size_t bytes) {
    const std::string tail =
        "],\"tun\":{\"enable\":true,\"device\":\"qtun0\",\"stack\":\"system\",\"auto-route\":true,"
        "\"strict-route\":true,\"auto-detect-interface\":true,\"dns-hijack\":[\"any:53\"]}}";
    std::string text =
        "{\"mode\":\"rule\",\"log-level\":\"warning\",\"allow-lan\":false,\"ipv6\":false,"
        "\"external-controller\":\"127.0.0.1:9090\",\"unified-delay\":true,\"find-process-mode\":\"strict\","
        "\"dns\":{\"enable\":true,\"enhanced-mode\":\"fake-ip\",\"nameserver\":[\"https://1.1.1.1/dns-query\","
        "\"https://8.8.8.8/dns-query\"]},\"proxies\":[";
    text.reserve(bytes);
    Rng rng;
    size_t proxies = 0;
    while (text.size() < bytes * 11 / 20) {
        if (proxies) text += ',';
        text += proxy(proxies++, rng);
    }
    text += "],\"proxy-groups\":[" + group("PROXY", "select", proxies) + "," + group("AUTO", "url-test", proxies) +
            "],\"rules\":[";
    constexpr size_t LARGEST_PAD = 64;
    for (size_t i = 0;; ++i) {
        std::string next = (i ? "," : "") + as_json_string(rule(i));
        if (text.size() + next.size() + tail.size() + LARGEST_PAD > bytes) break;
        text += next;
    }
    // One last rule takes up the remaining bytes exactly.
    const size_t left = bytes - text.size() - tail.size();
    const std::string head = ",\"DOMAIN,pad";
    if (left < head.size() + 1 + 1) throw std::logic_error("configuration too small");
    text += head + std::string(left - head.size() - 1, 'p') + "\"";
    text += tail;
    if (text.size() != bytes) throw std::logic_error("configuration size mismatch");
    return text;
}

std::string mihomo_up_line(const std::string& config, size_t bytes) {
    std::string line = "mihomo-up " + encode_base64_url(config) + " 512MiB";
    if (line.size() + 1 > bytes) throw std::logic_error("request line too small for the configuration");
    line.append(bytes - line.size() - 1, ' ');
    line += '\n';
    return line;
}

std::vector<std::string> bypass_entries(size_t count, size_t bytes) {
    std::vector<std::string> entries;
    entries.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        // Every sixteenth entry repeats its predecessor: duplicates collapse after the sort.
        const size_t n = i % 16 == 15 ? i - 1 : count - i;
        const std::string suffix = "\\bin\\tool-" + std::to_string(n);
        const std::string prefix = "C:\\Program Files\\Vendor\\";
        if (prefix.size() + suffix.size() > bytes) throw std::logic_error("bypass entry too small");
        entries.push_back("  " + prefix + std::string(bytes - prefix.size() - suffix.size(), 'a') + suffix + "\t");
    }
    return entries;
}

std::string json_string_array(const std::vector<std::string>& entries) { return dump_compact(Json(entries)); }

std::vector<std::string> server_entries() {
    std::vector<std::string> entries = {" 1.1.1.1 ", "127.0.0.1",   "224.0.0.5", "0.0.0.0", "1.1.1.1",
                                        "localhost", "2001:db8::1", "a b.com",   "01.2.3.4"};
    for (size_t i = 0; entries.size() < 32; ++i)
        entries.push_back(std::to_string(203 - i % 7) + ".0." + std::to_string(i) + "." + std::to_string(10 + i));
    for (size_t i = 0; entries.size() < 64; ++i)
        entries.push_back("\u3000Node" + std::to_string(i) + ".Example-Provider.NET.");
    return entries;
}

std::string base64_word(size_t chars) {
    if (chars % 4 != 0) throw std::logic_error("word length must be a multiple of 4");
    std::string word;
    word.reserve(chars);
    Rng rng;
    for (size_t i = 0; i < chars; ++i) word += URL_SAFE_ALPHABET[rng.next() % 64];
    return word;
}

}  // namespace quorin::bench
