// active.json of a managed core, read by every status and setup and by each start. A
// manifest that is accepted must describe the same four values when written back in
// either accepted form.

#include <cstdint>

#include "common/json.hpp"
#include "fuzz_support.hpp"
#include "host/catalogue.hpp"

namespace {

using namespace quorin;

void require_same(const Result<CoreManifest>& copy, const CoreManifest& original) {
    fuzz::require(copy.has_value(), "a written manifest is accepted");
    fuzz::require(copy->version == original.version && copy->directory == original.directory &&
                      copy->installed_at == original.installed_at && copy->sha256 == original.sha256,
                  "a written manifest reads back unchanged");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto manifest = CoreManifest::parse(fuzz::as_text(data, size));
    if (!manifest) {
        fuzz::require(!manifest.error().message().empty(), "a refusal says why");
        return 0;
    }
    Json object = {{"version", manifest->version},
                   {"directory", manifest->directory},
                   {"installed_at", manifest->installed_at},
                   {"sha256", manifest->sha256}};
    require_same(CoreManifest::parse(dump_compact(object)), *manifest);
    Json array = {manifest->version, manifest->directory, manifest->installed_at, manifest->sha256};
    require_same(CoreManifest::parse(dump_pretty(array)), *manifest);
    return 0;
}
