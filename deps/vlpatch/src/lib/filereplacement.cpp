#include "filereplacement.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vlpatch {

namespace {

bool WriteAll(int descriptor, const uint8_t* bytes, std::size_t size)
{
    while (size != 0) {
        const ssize_t written = ::write(descriptor, bytes, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

} // namespace

// A link is written through, as opening the name for writing would.
std::string FinalPathOf(const char* path)
{
    struct stat info;
    if (::lstat(path, &info) == 0 && S_ISLNK(info.st_mode)) {
        if (char* resolved = ::realpath(path, nullptr)) {
            std::string final(resolved);
            std::free(resolved);
            return final;
        }
    }
    return path;
}

std::string PartialFilePrefix(const std::string& final)
{
    return final + ".vlpart-";
}

// In the final file's directory, so that the rename cannot cross file systems.
int CreatePartialFile(const std::string& final, std::string* partial)
{
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        *partial = PartialFilePrefix(final) + std::to_string(::getpid()) + "-" + std::to_string(counter++);
        const int descriptor = ::open(partial->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (descriptor != -1 || errno != EEXIST)
            return descriptor;
    }
    return -1;
}

bool ReplaceWholeFile(const char* path, const void* buffer, std::size_t size)
{
    const std::string final = FinalPathOf(path);
    std::string temporary;
    const int descriptor = CreatePartialFile(final, &temporary);
    if (descriptor == -1)
        return false;

    bool ok = true;
    struct stat existing;
    if (::stat(final.c_str(), &existing) == 0 && S_ISREG(existing.st_mode))
        ok = ::fchmod(descriptor, existing.st_mode & 07777) == 0;
    // Synced before the rename: after a crash the name holds the old file or the whole new one.
    ok = ok && WriteAll(descriptor, static_cast<const uint8_t*>(buffer), size) && ::fsync(descriptor) == 0;
    ok = ::close(descriptor) == 0 && ok;
    ok = ok && ::rename(temporary.c_str(), final.c_str()) == 0;
    if (!ok)
        ::unlink(temporary.c_str());
    return ok;
}

} // namespace vlpatch
