#include <malloc.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
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
namespace {

// Below this, a block is written over; from it on, its whole pages go back to the kernel.
constexpr std::size_t LARGE_BLOCK_BYTES = 65536;

// The whole pages inside a large block are discarded rather than written: the kernel
// drops their contents, in memory or in swap, and gives zeros on the next touch, and
// pages of a large reservation that were never used do not become resident. The allocator
// keeps its records at the block's ends, in the partial pages, which are written over.
void clear_block(void* block, std::size_t size) {
    char* begin = static_cast<char*>(block);
    if (size >= LARGE_BLOCK_BYTES) {
        const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        const std::size_t head = (page - reinterpret_cast<std::uintptr_t>(begin) % page) % page;  // NOLINT
        const std::size_t whole = (size - head) / page * page;
        if (madvise(begin + head, whole, MADV_DONTNEED) == 0) {
            explicit_bzero(begin, head);
            explicit_bzero(begin + head + whole, size - head - whole);
            return;
        }
    }
    explicit_bzero(begin, size);
}

}  // namespace

// NOLINTBEGIN(cert-dcl54-cpp,misc-new-delete-overloads): the library's operator new stays
void operator delete(void* block) noexcept {
    if (block == nullptr) return;
    clear_block(block, malloc_usable_size(block));
    std::free(block);  // NOLINT(cppcoreguidelines-no-malloc)
}
// The size given is the one asked for, and nothing is written past it.
void operator delete(void* block, std::size_t size) noexcept {
    if (block == nullptr) return;
    clear_block(block, size);
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
