#include <malloc.h>
#include <string.h>

#include <csignal>
#include <cstdlib>
#include <new>
#include <string>

#include "common/log.hpp"
#include "entry/subcommands.hpp"

// Every block the helper frees is cleared first. Clients' configurations, their Base64
// request lines and the text written for a core pass through strings that grow by
// reallocation; a freed copy must not keep a user's secrets where the next user's core
// could read them. The allocation side stays the library's (malloc).
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// NOLINTBEGIN(cert-dcl54-cpp,misc-new-delete-overloads): the library's operator new stays
void operator delete(void* block) noexcept {
    if (block == nullptr) return;
    explicit_bzero(block, malloc_usable_size(block));
    std::free(block);  // NOLINT(cppcoreguidelines-no-malloc)
}
// The size given is the one asked for, and nothing is written past it.
void operator delete(void* block, std::size_t size) noexcept {
    if (block == nullptr) return;
    explicit_bzero(block, size);
    std::free(block);  // NOLINT(cppcoreguidelines-no-malloc)
}
void operator delete[](void* block) noexcept { ::operator delete(block); }
void operator delete[](void* block, std::size_t) noexcept { ::operator delete(block); }
// NOLINTEND(cert-dcl54-cpp,misc-new-delete-overloads)
#elif defined(__SANITIZE_ADDRESS__)
// A sanitizer's allocator replaces the one above; AddressSanitizer's fills what is freed.
extern "C" const char* __asan_default_options() { return "max_free_fill_size=2147483647:free_fill_byte=0"; }
#endif

int main(int argc, char** argv) {
    // A client that hangs up before its reply must cost a write error, not the service.
    (void)std::signal(SIGPIPE, SIG_IGN);
    const char* command = argc > 1 ? argv[1] : "";
    auto result = quorin::run_subcommand(command);
    if (result) return 0;
    quorin::write_stderr("quorin-helper: " + result.error().chain() + "\n");
    return 1;
}
