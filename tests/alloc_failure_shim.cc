// Preloaded into the program by the process tests to fail one allocation:
//   ZELVO_SHIM_FAIL_ALLOC=N  the program's Nth allocation (malloc, calloc and
//       realloc counted together) fails with ENOMEM, and an "x" is left in
//       the file named by ZELVO_SHIM_MARK. Only the program's own process
//       counts, not the scanner it starts. Nothing here allocates.
// A library of its own: replacing the allocator would break a sanitizer's.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

extern "C" void* __libc_malloc(size_t size);
extern "C" void* __libc_calloc(size_t count, size_t size);
extern "C" void* __libc_realloc(void* pointer, size_t size);

namespace {

bool allocation_fails() {
    static long fail_at = -1;  // -1: not read yet; 0: never
    static long count = 0;
    if (fail_at < 0) {
        const char* setting = std::getenv("ZELVO_SHIM_FAIL_ALLOC");
        const bool program = std::strstr(program_invocation_short_name, "zelvo-ivask") != nullptr;
        fail_at = setting != nullptr && program ? std::atol(setting) : 0;
    }
    if (fail_at == 0 || ++count != fail_at) return false;
    if (const char* mark = std::getenv("ZELVO_SHIM_MARK")) {
        const int fd = open(mark, O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd >= 0) {
            const ssize_t ignored = write(fd, "x", 1);
            (void)ignored;
            close(fd);
        }
    }
    errno = ENOMEM;
    return true;
}

}  // namespace

extern "C" void* malloc(size_t size) { return allocation_fails() ? nullptr : __libc_malloc(size); }
extern "C" void* calloc(size_t count, size_t size) {
    return allocation_fails() ? nullptr : __libc_calloc(count, size);
}
extern "C" void* realloc(void* pointer, size_t size) {
    return allocation_fails() ? nullptr : __libc_realloc(pointer, size);
}
