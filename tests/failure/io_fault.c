/* Failure injection for the file tests: loaded with LD_PRELOAD into a child interpreter, it lets
 * read() and write() on the file named by KELVRA_FAULT_PATH move KELVRA_FAULT_AFTER bytes and then
 * fail (EIO for reads, ENOSPC for writes), as a failing disk or a full one would part-way. A
 * KELVRA_FAULT_PATH ending in '/' names every file in that folder (a writer's temporary file). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static size_t moved;

static int is_target(int fd) {
    const char* want = getenv("KELVRA_FAULT_PATH");
    char link[64], target[4096];
    if (want == NULL) return 0;
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n < 0) return 0;
    target[n] = '\0';
    size_t len = strlen(want);
    if (len > 0 && want[len - 1] == '/') return strncmp(target, want, len) == 0;
    return strcmp(target, want) == 0;
}

/* How many of count bytes may still move; 0 means the fault is due. */
static size_t allowance(size_t count) {
    size_t after = strtoul(getenv("KELVRA_FAULT_AFTER"), NULL, 10);
    if (moved >= after) return 0;
    return count < after - moved ? count : after - moved;
}

ssize_t read(int fd, void* buf, size_t count) {
    static ssize_t (*real_read)(int, void*, size_t);
    if (real_read == NULL) real_read = (ssize_t (*)(int, void*, size_t))dlsym(RTLD_NEXT, "read");
    if (count == 0 || !is_target(fd)) return real_read(fd, buf, count);
    size_t allowed = allowance(count);
    if (allowed == 0) {
        errno = EIO;
        return -1;
    }
    ssize_t got = real_read(fd, buf, allowed);
    if (got > 0) moved += (size_t)got;
    return got;
}

ssize_t write(int fd, const void* buf, size_t count) {
    static ssize_t (*real_write)(int, const void*, size_t);
    if (real_write == NULL)
        real_write = (ssize_t (*)(int, const void*, size_t))dlsym(RTLD_NEXT, "write");
    if (count == 0 || !is_target(fd)) return real_write(fd, buf, count);
    size_t allowed = allowance(count);
    if (allowed == 0) {
        errno = ENOSPC;
        return -1;
    }
    ssize_t put = real_write(fd, buf, allowed);
    if (put > 0) moved += (size_t)put;
    return put;
}
