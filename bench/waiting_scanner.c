/* A scanner that runs for a second and counts how often the program that
 * started it woke meanwhile: the voluntary context switches of its parent
 * (each wake-up ends in one more sleep) from a moment after its start, once
 * the program is waiting, to its end. Writes the count to the file named by
 * ZELVO_BENCH_WAKEUPS. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static long parent_switches(void) {
    char path[64], line[256];
    long count = -1;
    snprintf(path, sizeof path, "/proc/%ld/status", (long)getppid());
    FILE* status = fopen(path, "r");
    if (!status) return -1;
    while (fgets(line, sizeof line, status))
        if (strncmp(line, "voluntary_ctxt_switches:", 24) == 0) count = atol(line + 24);
    fclose(status);
    return count;
}

static void pause_ms(long ms) {
    struct timespec delay = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&delay, NULL);
}

int main(void) {
    const char* out = getenv("ZELVO_BENCH_WAKEUPS");
    pause_ms(100);
    const long before = parent_switches();
    pause_ms(1000);
    const long after = parent_switches();
    FILE* f = out ? fopen(out, "w") : NULL;
    if (!f) return 1;
    fprintf(f, "%ld\n", before < 0 || after < 0 ? -1 : after - before);
    return fclose(f) == 0 ? 0 : 1;
}
