#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/files.hpp"
#include "common/text.hpp"
#include "entry/subcommands.hpp"
#include "host/catalogue.hpp"

namespace quorin {

namespace {

constexpr const char* MARKER_DIR = "/var/lib/quorin/authorized-users";
constexpr std::string_view MARKER_CONTENT = "authorized\n";

// The raw value in double quotes, invalid bytes as \xNN, for the error report.
std::string quoted_raw(std::string_view raw) {
    static constexpr char HEX[] = "0123456789abcdef";
    std::string text = "\"";
    for (size_t pos = 0; pos < raw.size();) {
        unsigned char c = static_cast<unsigned char>(raw[pos]);
        size_t length = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
        if (c >= 0x80 && pos + length <= raw.size() && is_valid_utf8(raw.substr(pos, length))) {
            text.append(raw.substr(pos, length));
            pos += length;
            continue;
        }
        if (c >= 0x80 || c < 0x20 || c == 0x7F) {
            text += "\\x";
            text += HEX[c >> 4];
            text += HEX[c & 15];
        } else {
            if (c == '"' || c == '\\') text += '\\';
            text += static_cast<char>(c);
        }
        ++pos;
    }
    return text + "\"";
}

Result<uint32_t> invoking_uid() {
    const char* raw = std::getenv("PKEXEC_UID");  // NOLINT(concurrency-mt-unsafe): setup has one thread
    if (raw == nullptr)
        return fail("helper должен запускаться только через pkexec", Error("environment variable not found"));
    if (!is_valid_utf8(raw))
        return fail("helper должен запускаться только через pkexec",
                    Error("environment variable was not valid unicode: " + quoted_raw(raw)));
    auto uid = parse_u32(raw);
    if (!uid) return fail("некорректный PKEXEC_UID", uid.error());
    return *uid;
}

Result<void> write_marker(uint32_t uid) {
    if (auto made = create_directories(MARKER_DIR); !made) return made;
    if (chmod(MARKER_DIR, 0711) != 0) return fail_os();
    auto marker = open_file(std::string(MARKER_DIR) + "/" + std::to_string(uid), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (!marker) return fail(marker.error());
    if (auto written = write_all(marker->get(), MARKER_CONTENT); !written) return written;
    if (fsync(marker->get()) != 0) return fail_os();
    return {};
}

}  // namespace

Result<void> run_setup() {
    auto uid = invoking_uid();
    if (!uid) return fail(uid.error());
    auto cores = require_all_cores();
    if (!cores) return fail(cores.error());
    if (auto marked = write_marker(*uid); !marked) return marked;
    std::string line = "Встроенные Xray " + cores->xray.version + ", sing-box " + cores->sing_box.version +
                       " и Mihomo " + cores->mihomo.version + " готовы; uid " + std::to_string(*uid) +
                       " авторизован\n";
    (void)write_all(STDOUT_FILENO, line);
    return {};
}

}  // namespace quorin
