// Preloaded into the program by the process tests to fail one allocation:
//   ZELVO_SHIM_FAIL_ALLOC=N  the program's Nth allocation (malloc, calloc and
//       realloc counted together) fails with ENOMEM, and an "x" is left in
//       the file named by ZELVO_SHIM_MARK;
//   ZELVO_SHIM_FAIL_ALLOC=N+ the Nth and every later one fail.
// Only the program's own process counts, not the scanner it starts, and only
// from the program's start on: what the shared libraries set up before it
// (the C++ runtime's reserve for exceptions in flight, without which no
// failure could be thrown at all) is left alone. Nothing here allocates.
// A library of its own: replacing the allocator would break a sanitizer's.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

extern "C" void* __libc_malloc(size_t size);
extern "C" void* __libc_calloc(size_t count, size_t size);
extern "C" void* __libc_realloc(void* pointer, size_t size);

namespace {

bool program_started = false;

bool allocation_fails() {
    if (!program_started) return false;
    static long fail_at = -1;  // -1: not read yet; 0: never
    static bool from_then_on = false;
    static long count = 0;
    if (fail_at < 0) {
        const char* setting = std::getenv("ZELVO_SHIM_FAIL_ALLOC");
        const bool program = std::strstr(program_invocation_short_name, "zelvo-ivask") != nullptr;
        char* end = nullptr;
        fail_at = setting != nullptr && program ? std::strtol(setting, &end, 10) : 0;
        from_then_on = end != nullptr && *end == '+';
    }
    if (fail_at == 0) return false;
    ++count;
    if (count < fail_at || (count > fail_at && !from_then_on)) return false;
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

// Called by the program's entry code once every shared library is set up.
typedef int (*main_t)(int, char**, char**);
extern "C" int __libc_start_main(main_t main, int argc, char** argv, void (*init)(), void (*fini)(),
                                 void (*rtld_fini)(), void* stack_end) {
    typedef int (*real_t)(main_t, int, char**, void (*)(), void (*)(), void (*)(), void*);
    static const real_t real = reinterpret_cast<real_t>(dlsym(RTLD_NEXT, "__libc_start_main"));
    program_started = true;
    return real(main, argc, argv, init, fini, rtld_fini, stack_end);
}

extern "C" void* malloc(size_t size) { return allocation_fails() ? nullptr : __libc_malloc(size); }
extern "C" void* calloc(size_t count, size_t size) {
    return allocation_fails() ? nullptr : __libc_calloc(count, size);
}
extern "C" void* realloc(void* pointer, size_t size) {
    return allocation_fails() ? nullptr : __libc_realloc(pointer, size);
}
