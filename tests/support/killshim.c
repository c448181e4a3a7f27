/* Ends the process with SIGKILL at one chosen file operation, for tests of what a killed update
 * leaves behind, or stops it there for tests of what happens beside a stage at work. Preloaded into the program under test (LD_PRELOAD) and steered by its environment:
 *   VL_KILL_CALL    "link", "rename", "unlink" or "write"
 *   VL_KILL_PATH    text that the operation's target path contains (for "write": the file written)
 *   VL_KILL_DATA    for "write": text that the written bytes start with (optional)
 *   VL_KILL_BEFORE  when set, the process dies before the operation; otherwise right after it
 *   VL_KILL_MARKER  file that receives the process id just before the kill
 *   VL_KILL_STOP    when set, the process is stopped (SIGSTOP) instead, to be continued by SIGCONT
 * Processes without VL_KILL_CALL run unchanged. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

/* A stopped process that is continued goes on unchanged. */
static int fired;

static int chosen(const char* call, const char* path)
{
    if (fired)
        return 0;
    const char* wanted = getenv("VL_KILL_CALL");
    const char* text = getenv("VL_KILL_PATH");
    return wanted && text && path && strcmp(wanted, call) == 0 && strstr(path, text) != NULL;
}

static void halt(void)
{
    fired = 1;
    const char* marker = getenv("VL_KILL_MARKER");
    if (marker) {
        /* Written aside and renamed: a test that sees the marker can read the process id. */
        char pid[32];
        char aside[4096];
        const int length = snprintf(pid, sizeof pid, "%ld\n", (long)getpid());
        snprintf(aside, sizeof aside, "%s.%ld", marker, (long)getpid());
        const int fd = (int)syscall(SYS_openat, AT_FDCWD, aside, O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd >= 0) {
            syscall(SYS_write, fd, pid, (size_t)length);
            syscall(SYS_close, fd);
            syscall(SYS_renameat, AT_FDCWD, aside, AT_FDCWD, marker);
        }
    }
    syscall(SYS_kill, (long)getpid(), getenv("VL_KILL_STOP") ? SIGSTOP : SIGKILL);
}

static int before(void)
{
    return getenv("VL_KILL_BEFORE") != NULL;
}

static void* real(const char* name)
{
    return dlsym(RTLD_NEXT, name);
}

static int twoPaths(const char* call, const char* from, const char* to)
{
    const int hit = chosen(call, to);
    if (hit && before())
        halt();
    const int result = ((int (*)(const char*, const char*))real(call))(from, to);
    if (hit && result == 0)
        halt();
    return result;
}

int link(const char* from, const char* to)
{
    return twoPaths("link", from, to);
}

int rename(const char* from, const char* to)
{
    return twoPaths("rename", from, to);
}

int unlink(const char* path)
{
    const int hit = chosen("unlink", path);
    if (hit && before())
        halt();
    const int result = ((int (*)(const char*))real("unlink"))(path);
    if (hit && result == 0)
        halt();
    return result;
}

ssize_t write(int fd, const void* bytes, size_t size)
{
    int hit = 0;
    if (getenv("VL_KILL_CALL") && strcmp(getenv("VL_KILL_CALL"), "write") == 0) {
        char link[64];
        char path[4096];
        snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        const ssize_t length = readlink(link, path, sizeof path - 1);
        if (length > 0) {
            path[length] = '\0';
            const char* data = getenv("VL_KILL_DATA");
            hit = chosen("write", path)
                  && (!data || (size >= strlen(data) && memcmp(bytes, data, strlen(data)) == 0));
        }
    }
    if (hit && before())
        halt();
    const ssize_t result = ((ssize_t(*)(int, const void*, size_t))real("write"))(fd, bytes, size);
    if (hit && result > 0)
        halt();
    return result;
}
