#include "host/catalogue.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "common/json.hpp"
#include "host/catalogue_internal.hpp"

namespace quorin {

namespace catalogue_detail {

namespace {

// The members of CoreManifest in declaration order, which is also the order of the
// four-element array form.
constexpr std::array<std::string_view, 4> MANIFEST_KEYS = {"version", "directory", "installed_at", "sha256"};
constexpr size_t INSTALLED_AT_INDEX = 2;

bool is_manifest_key(std::string_view key) {
    for (auto known : MANIFEST_KEYS)
        if (known == key) return true;
    return false;
}

// One top-level member of the manifest object as it stood in the text: its key and its
// value (a container is represented by an empty one of its kind; only its type matters).
struct Member {
    std::string key;
    Json value;
};

// A second pass over text that parse_json has accepted already: collects the top-level
// members whose keys are manifest keys, in document order and with repetitions, which the
// value that parse_json builds (last repetition wins) cannot show.
class TopLevelMembers : public nlohmann::json_sax<Json> {
public:
    bool null() override { return scalar(Json(nullptr)); }
    bool boolean(bool value) override { return scalar(Json(value)); }
    bool number_integer(number_integer_t value) override { return scalar(Json(value)); }
    bool number_unsigned(number_unsigned_t value) override { return scalar(Json(value)); }
    bool number_float(number_float_t value, const string_t&) override { return scalar(Json(value)); }
    bool string(string_t& value) override { return scalar(Json(std::move(value))); }
    bool binary(binary_t& value) override { return scalar(Json::binary(std::move(value))); }
    bool start_object(std::size_t) override { return open(Json::object(), true); }
    bool start_array(std::size_t) override { return open(Json::array(), false); }
    bool end_object() override { return close(); }
    bool end_array() override { return close(); }
    bool key(string_t& value) override {
        if (depth_ == 1) key_ = std::move(value);
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

    std::vector<Member>& members() { return members_; }

private:
    bool at_top_member() const { return depth_ == 1 && root_is_object_; }
    bool scalar(Json&& value) {
        if (at_top_member() && is_manifest_key(key_)) members_.push_back({key_, std::move(value)});
        return true;
    }
    bool open(Json&& container, bool is_object) {
        if (depth_ == 0) root_is_object_ = is_object;
        if (at_top_member() && is_manifest_key(key_)) members_.push_back({key_, std::move(container)});
        ++depth_;
        return true;
    }
    bool close() {
        --depth_;
        return true;
    }

    size_t depth_ = 0;
    bool root_is_object_ = false;
    std::string key_;
    std::vector<Member> members_;
};

// A string member; otherwise the library's own type error.
Result<std::string> string_member(const Json& value) {
    try {
        return value.get<std::string>();
    } catch (const Json::exception& ex) {
        return fail(library_message(ex));
    }
}

// `installed_at`: an integer within the signed 64-bit range. A number with a fraction or
// an exponent is not one, nor is a value above the largest signed 64-bit integer; the
// library converts those silently, so their message is ours. Other types get the
// library's own type error.
Result<int64_t> installed_at_member(const Json& value) {
    if (value.is_number_unsigned()) {
        auto number = value.get<uint64_t>();
        if (number <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return static_cast<int64_t>(number);
    } else if (value.is_number_integer()) {
        return value.get<int64_t>();
    } else if (!value.is_number()) {
        try {
            return value.get<int64_t>();
        } catch (const Json::exception& ex) {
            return fail(library_message(ex));
        }
    }
    return fail("invalid value for key 'installed_at': expected a signed 64-bit integer, found " + dump_compact(value));
}

// Stores one member, found by its position among MANIFEST_KEYS.
Result<void> store_member(CoreManifest& manifest, size_t index, const Json& value) {
    if (index == INSTALLED_AT_INDEX) {
        auto number = installed_at_member(value);
        if (!number) return fail(number.error());
        manifest.installed_at = *number;
        return {};
    }
    auto text = string_member(value);
    if (!text) return fail(text.error());
    (index == 0 ? manifest.version : index == 1 ? manifest.directory : manifest.sha256) = std::move(*text);
    return {};
}

size_t key_index(std::string_view key) {
    for (size_t i = 0; i < MANIFEST_KEYS.size(); ++i)
        if (MANIFEST_KEYS[i] == key) return i;
    return MANIFEST_KEYS.size();
}

Result<CoreManifest> parse_object_form(std::string_view text, const Json& object) {
    TopLevelMembers members;
    try {
        if (!Json::sax_parse(text.begin(), text.end(), &members)) return fail("invalid JSON");
    } catch (const std::exception& ex) {
        return fail(library_message(ex));
    }
    CoreManifest manifest;
    std::array<bool, 4> seen{};
    // In document order, as a streaming reader meets them: a member's type is checked when
    // it is met, a repetition is refused when it is met again.
    for (const Member& member : members.members()) {
        size_t index = key_index(member.key);
        if (seen[index]) return fail("duplicate key '" + member.key + "'");
        seen[index] = true;
        if (auto stored = store_member(manifest, index, member.value); !stored) return fail(stored.error());
    }
    for (size_t index = 0; index < MANIFEST_KEYS.size(); ++index) {
        if (seen[index]) continue;
        try {
            (void)object.at(std::string(MANIFEST_KEYS[index]));
        } catch (const Json::exception& ex) {
            return fail(library_message(ex));
        }
        return fail("key '" + std::string(MANIFEST_KEYS[index]) + "' not found");
    }
    return manifest;
}

Result<CoreManifest> parse_array_form(const Json& array) {
    CoreManifest manifest;
    for (size_t index = 0; index < MANIFEST_KEYS.size(); ++index) {
        const Json* element = nullptr;
        try {
            element = &array.at(index);
        } catch (const Json::exception& ex) {
            return fail(library_message(ex));
        }
        if (auto stored = store_member(manifest, index, *element); !stored) return fail(stored.error());
    }
    if (array.size() > MANIFEST_KEYS.size())
        return fail("invalid length " + std::to_string(array.size()) + ": expected an array of 4 values");
    return manifest;
}

// A data file past the limit is refused without being held whole.
Result<std::string> read_bounded(const std::string& path) {
    auto content = read_file(path, MAX_DATA_FILE_BYTES);
    if (content && content->size() > MAX_DATA_FILE_BYTES) return fail("файл данных слишком большой");
    return content;
}

// The core whose executable is a regular file in `dir`.
std::optional<InstalledCore> core_in(std::string_view version, std::string dir, std::string_view executable) {
    std::string path = join_path(dir, executable);
    if (!is_regular_file(path)) return std::nullopt;
    return InstalledCore{std::string(version), std::move(path), std::move(dir)};
}

// The managed copy under `home`, used when the built-in one is incomplete: found only
// when its manifest names a release that holds the executable.
Result<std::optional<InstalledCore>> resolve_managed(const std::string& home, std::string_view executable) {
    auto manifest = read_core_manifest(home);
    if (!manifest) return fail(manifest.error());
    if (!manifest->has_value()) return std::optional<InstalledCore>();
    return core_in((*manifest)->version, join_path(join_path(home, "releases"), (*manifest)->directory), executable);
}

}  // namespace

Result<std::optional<InstalledCore>> resolve_xray_in(const std::string& builtin_root, const HelperDirs& dirs) {
    // The built-in copy counts only with both data files beside the executable.
    auto builtin = core_in(XRAY_VERSION, join_path(builtin_root, "xray"), "xray");
    if (builtin &&
        std::ranges::all_of(std::array<std::string_view, 2>{"geoip.dat", "geosite.dat"},
                            [&](std::string_view file) { return is_regular_file(join_path(builtin->core_dir, file)); }))
        return builtin;
    return resolve_managed(join_path(dirs.state_dir, "core"), "xray");
}

Result<std::optional<InstalledCore>> resolve_sing_box_in(const std::string& builtin_root, const HelperDirs& dirs) {
    if (auto builtin = core_in(SING_BOX_VERSION, join_path(builtin_root, "sing-box"), "sing-box")) return builtin;
    return resolve_managed(join_path(dirs.state_dir, "sing-box"), "sing-box");
}

std::optional<InstalledCore> resolve_mihomo_in(const std::string& builtin_root, const HelperDirs& dirs) {
    if (auto builtin = core_in(MIHOMO_VERSION, join_path(builtin_root, "mihomo"), "mihomo")) return builtin;
    return core_in(MIHOMO_VERSION, join_path(dirs.state_dir, "mihomo"), "mihomo");
}

Result<CoreSet> require_all_cores_in(const std::string& builtin_root, const HelperDirs& dirs) {
    auto xray = resolve_xray_in(builtin_root, dirs);
    if (!xray) return fail(xray.error());
    if (!xray->has_value()) return fail("в пакете Quorin отсутствует Xray");
    auto sing_box = resolve_sing_box_in(builtin_root, dirs);
    if (!sing_box) return fail(sing_box.error());
    if (!sing_box->has_value()) return fail("в пакете Quorin отсутствует sing-box");
    auto mihomo = resolve_mihomo_in(builtin_root, dirs);
    if (!mihomo) return fail("в пакете Quorin отсутствует Mihomo");
    return CoreSet{std::move(**xray), std::move(**sing_box), std::move(*mihomo)};
}

// What the resolvers above look at, in their order, when every built-in copy is complete.
constexpr std::array<std::string_view, 5> BUILTIN_FILES = {"xray/xray", "xray/geoip.dat", "xray/geosite.dat",
                                                           "sing-box/sing-box", "mihomo/mihomo"};

Result<CoreVersions> core_versions_in(const std::string& builtin_root, const HelperDirs& dirs) {
    std::array<char, 256> path;  // NOLINT(cppcoreguidelines-pro-type-member-init): filled before each look
    auto builtin = [&](std::string_view name) {
        if (builtin_root.size() + 1 + name.size() >= path.size()) return is_regular_file(join_path(builtin_root, name));
        std::memcpy(path.data(), builtin_root.data(), builtin_root.size());
        path[builtin_root.size()] = '/';
        std::memcpy(path.data() + builtin_root.size() + 1, name.data(), name.size());
        path[builtin_root.size() + 1 + name.size()] = '\0';
        struct stat st;  // NOLINT(cppcoreguidelines-pro-type-member-init): stat fills it
        return stat(path.data(), &st) == 0 && S_ISREG(st.st_mode);
    };
    if (std::ranges::all_of(BUILTIN_FILES, builtin))
        return CoreVersions{std::string(XRAY_VERSION), std::string(SING_BOX_VERSION), std::string(MIHOMO_VERSION)};
    auto cores = require_all_cores_in(builtin_root, dirs);
    if (!cores) return fail(cores.error());
    return CoreVersions{std::move(cores->xray.version), std::move(cores->sing_box.version),
                        std::move(cores->mihomo.version)};
}

}  // namespace catalogue_detail

Result<CoreManifest> CoreManifest::parse(std::string_view text) {
    auto value = parse_json(text, catalogue_detail::MANIFEST_MAX_DEPTH);
    if (!value) return fail(value.error());
    if (value->is_array()) return catalogue_detail::parse_array_form(*value);
    if (value->is_object()) return catalogue_detail::parse_object_form(text, *value);
    try {
        (void)value->at(std::string(catalogue_detail::MANIFEST_KEYS[0]));
    } catch (const Json::exception& ex) {
        return fail(library_message(ex));
    }
    return fail("type must be object or array, but is " + std::string(value->type_name()));
}

template <class Record>
Result<Record> read_json_data_file(const std::string& path) {
    auto content = catalogue_detail::read_bounded(path);
    if (!content) return fail(content.error());
    return Record::parse(*content);
}

template Result<CoreManifest> read_json_data_file<CoreManifest>(const std::string& path);

Result<std::optional<CoreManifest>> read_core_manifest(const std::string& home) {
    std::string path = join_path(home, "active.json");
    if (!path_exists(path)) return std::optional<CoreManifest>();
    auto manifest = read_json_data_file<CoreManifest>(path);
    if (!manifest) return fail(manifest.error());
    return std::optional<CoreManifest>(std::move(*manifest));
}

Result<std::optional<InstalledCore>> resolve_xray(const HelperDirs& dirs) {
    return catalogue_detail::resolve_xray_in(std::string(catalogue_detail::BUILTIN_CORES_DIR), dirs);
}

Result<std::optional<InstalledCore>> resolve_sing_box(const HelperDirs& dirs) {
    return catalogue_detail::resolve_sing_box_in(std::string(catalogue_detail::BUILTIN_CORES_DIR), dirs);
}

std::optional<InstalledCore> resolve_mihomo(const HelperDirs& dirs) {
    return catalogue_detail::resolve_mihomo_in(std::string(catalogue_detail::BUILTIN_CORES_DIR), dirs);
}

Result<CoreSet> require_all_cores() {
    static const std::string builtin_root(catalogue_detail::BUILTIN_CORES_DIR);
    static const HelperDirs dirs;
    return catalogue_detail::require_all_cores_in(builtin_root, dirs);
}

Result<CoreVersions> core_versions_in_force() {
    static const std::string builtin_root(catalogue_detail::BUILTIN_CORES_DIR);
    static const HelperDirs dirs;
    return catalogue_detail::core_versions_in(builtin_root, dirs);
}

}  // namespace quorin
