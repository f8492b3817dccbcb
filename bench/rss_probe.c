/* Peak memory of one run of a program: rss_probe OUT PROGRAM ARGS...
 * forks, runs PROGRAM, and writes the child's peak resident set in KiB to
 * the file OUT. A small probe is needed because the kernel counts a process's
 * peak from before its exec too: spawned from a large process, any program
 * would seem large. */
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc < 3) return 255;
    pid_t pid = fork();
    if (pid < 0) return 255;
    if (pid == 0) {
        execv(argv[2], argv + 2);
        _exit(127);
    }
    int status;
    struct rusage usage;
    if (wait4(pid, &status, 0, &usage) < 0) return 255;
    FILE* out = fopen(argv[1], "w");
    if (!out) return 255;
    fprintf(out, "%ld\n", usage.ru_maxrss);
    return fclose(out) == 0 ? 0 : 255;
}
