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

constexpr const char* STATE_PARENT = "/var/lib";
constexpr const char* STATE_DIR = "/var/lib/quorin";
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

std::string octal_mode(mode_t mode) {
    std::string text = "0";
    for (int shift = 6; shift >= 0; shift -= 3) text += static_cast<char>('0' + ((mode >> shift) & 7));
    return text;
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

// Whoever can write to or replace a directory on the way to the markers can plant
// markers and cores, or turn root's writes elsewhere: each must be root's own directory,
// closed to everyone else's writes. Nothing is followed, nothing re-walked.
Result<UniqueFd> trusted_directory(int parent, const std::string& path, mode_t mode) {
    const std::string name = path.substr(path.rfind('/') + 1);
    const std::string refusal =
        "небезопасный каталог " + path + " (нужен каталог root без права записи для группы и остальных)";
    auto dir = create_directory_at(parent, name, mode);
    struct stat st {};
    if (!dir) {
        if (fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISDIR(st.st_mode))
            return fail(dir.error());
        return fail(refusal, Error(S_ISLNK(st.st_mode) ? "a symbolic link" : "not a directory"));
    }
    if (fstat(dir->get(), &st) != 0) return fail_os();
    if (st.st_uid != 0) return fail(refusal, Error("owned by uid " + std::to_string(st.st_uid)));
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return fail(refusal, Error("mode " + octal_mode(st.st_mode)));
    return dir;
}

// A new marker is root's alone; an existing one keeps its owner and mode.
Result<UniqueFd> open_marker(int dir, const std::string& name) {
    constexpr int FLAGS = O_WRONLY | O_NOFOLLOW | O_CLOEXEC;
    UniqueFd marker(openat(dir, name.c_str(), FLAGS | O_CREAT | O_EXCL, 0600));
    if (marker) {
        if (fchmod(marker.get(), 0600) != 0) return fail_os();
        return marker;
    }
    if (errno != EEXIST) return fail_os();
    marker.reset(openat(dir, name.c_str(), FLAGS | O_TRUNC));
    if (!marker) return fail_os();
    return marker;
}

Result<void> write_marker(uint32_t uid) {
    auto parent = create_directories(STATE_PARENT, 0755);
    if (!parent) return fail(parent.error());
    auto state = trusted_directory(parent->get(), STATE_DIR, 0755);
    if (!state) return fail(state.error());
    auto markers = trusted_directory(state->get(), MARKER_DIR, 0711);
    if (!markers) return fail(markers.error());
    if (fchmod(markers->get(), 0711) != 0) return fail_os();
    auto marker = open_marker(markers->get(), std::to_string(uid));
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
