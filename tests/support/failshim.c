/* Makes one kind of call on chosen files fail with EIO, as a failing disk does, for tests of what a
 * write that the system does not confirm leaves behind. Preloaded into the process under test
 * (LD_PRELOAD) and steered by its environment, which it reads at every call:
 *   VL_FAIL_CALL  "fsync" or "close"
 *   VL_FAIL_PATH  text that the path of the file open on the descriptor contains
 * A failing close still closes the descriptor, as Linux's does. Without VL_FAIL_CALL every call
 * runs unchanged. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int chosen(const char* call, int fd)
{
    const char* wanted = getenv("VL_FAIL_CALL");
    const char* text = getenv("VL_FAIL_PATH");
    if (!wanted || !text || strcmp(wanted, call) != 0)
        return 0;
    char link[64];
    char path[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t length = readlink(link, path, sizeof path - 1);
    if (length <= 0)
        return 0;
    path[length] = '\0';
    return strstr(path, text) != NULL;
}

static int failed(void)
{
    errno = EIO;
    return -1;
}

int fsync(int fd)
{
    if (chosen("fsync", fd))
        return failed();
    return ((int (*)(int))dlsym(RTLD_NEXT, "fsync"))(fd);
}

int close(int fd)
{
    const int fails = chosen("close", fd);
    const int result = ((int (*)(int))dlsym(RTLD_NEXT, "close"))(fd);
    return fails ? failed() : result;
}
