#include <vector>

#include "host/core_start.hpp"
#include "mihomo/core_error.hpp"
#include "mihomo/launch.hpp"

// End-to-end test builds shorten the bound so that a hanging stand-in core does not
// hold a test for a minute.
#ifndef QUORIN_MIHOMO_CHECK_LIMIT_MS
#define QUORIN_MIHOMO_CHECK_LIMIT_MS 60000
#endif

namespace quorin {

namespace {

std::vector<std::string> mihomo_arguments(const MihomoLayout& layout) {
    return {"-d", layout.working_dir, "-f", layout.config_file};
}

}  // namespace

MihomoLayout mihomo_layout(const HelperDirs& dirs) {
    return {.working_dir = join_path(dirs.cache_dir, "mihomo"),
            .config_file = join_path(dirs.run_dir, "mihomo.json"),
            .check_limit = std::chrono::milliseconds(QUORIN_MIHOMO_CHECK_LIMIT_MS)};
}

Result<void> run_mihomo_check(const std::string& executable, const MihomoLayout& layout) {
    std::vector<std::string> args = mihomo_arguments(layout);
    args.insert(args.begin(), "-t");
    auto output = run_core_check({.program = executable,
                                  .args = std::move(args),
                                  .in = Stdio::null_device,
                                  .out = Stdio::pipe,
                                  .err = Stdio::pipe,
                                  .working_dir = layout.working_dir,
                                  .credentials = layout.account},
                                 layout.check_limit);
    if (!output) return fail("не удалось проверить конфигурацию Mihomo", output.error());
    if (output->status.success()) return {};
    return fail("Mihomo отклонил конфигурацию: " + extract_core_error(output->out, output->err));
}

Result<Child> start_mihomo(const std::string& executable, const MihomoLayout& layout,
                           const std::optional<std::string>& memory_limit) {
    SpawnOptions options{.program = executable,
                         .args = mihomo_arguments(layout),
                         .in = Stdio::null_device,
                         .out = Stdio::inherit,
                         .err = Stdio::inherit,
                         .working_dir = layout.working_dir,
                         .credentials = layout.account};
    if (memory_limit) options.extra_env.emplace_back("GOMEMLIMIT", *memory_limit);
    auto core = Child::spawn(options);
    if (!core) return fail("не удалось запустить Mihomo", core.error());
    return core;
}

}  // namespace quorin
