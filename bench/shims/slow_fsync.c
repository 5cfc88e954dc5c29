/* A slow laptop disk for benchmarks: preloaded (LD_PRELOAD=.../libslow_fsync.so), every fsync and fdatasync
 * sleeps QB_SLOW_FSYNC_MS milliseconds (50 unless set) before it syncs. Shows which calls wait for the disk. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static void waitLikeASlowDisk(void) {
    const char* text = getenv("QB_SLOW_FSYNC_MS");
    const long ms = text != NULL ? atol(text) : 50;
    struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0) {
    }
}

int fsync(int fd) {
    static int (*real)(int) = NULL;
    if (real == NULL) {
        void* found = dlsym(RTLD_NEXT, "fsync");
        memcpy(&real, &found, sizeof real); /* POSIX's way from an object pointer to a function pointer */
    }
    waitLikeASlowDisk();
    return real(fd);
}

int fdatasync(int fd) {
    static int (*real)(int) = NULL;
    if (real == NULL) {
        void* found = dlsym(RTLD_NEXT, "fdatasync");
        memcpy(&real, &found, sizeof real);
    }
    waitLikeASlowDisk();
    return real(fd);
}
