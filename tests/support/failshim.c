/* Makes one kind of call on chosen files fail with EIO, as a failing disk does, for tests of what a
 * write that the system does not confirm leaves behind. Preloaded into the process under test
 * (LD_PRELOAD), which steers it through vl_fail_shim_choose(call, path): from then on `call`
 * ("fsync" or "close") fails on the descriptors whose file's path contains `path`; a null call
 * lets every call run unchanged again, as before the first choice. Both texts must outlive the
 * choice. A failing close still closes the descriptor, as Linux's does. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

/* Atomic: other threads of the process close files while the test chooses. */
static const char* _Atomic s_call;
static const char* _Atomic s_path;

void vl_fail_shim_choose(const char* call, const char* path)
{
    s_call = NULL;
    s_path = path;
    s_call = call;
}

static int chosen(const char* call, int fd)
{
    const char* wanted = s_call;
    const char* text = s_path;
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
