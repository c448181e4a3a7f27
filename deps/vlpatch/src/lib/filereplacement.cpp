#include "filereplacement.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <new>
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

// Large enough that the system calls cost nothing next to the decoding, small enough to stay
// in the cache between the decoder and the write.
constexpr std::size_t kWriteBuffer = 64 << 10;

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

ReplacementFile::ReplacementFile(const char* path) : m_Final(FinalPathOf(path))
{
    m_Buffer = new (std::nothrow) uint8_t[kWriteBuffer];
    if (m_Buffer)
        m_Descriptor = CreatePartialFile(m_Final, &m_Temporary);
}

ReplacementFile::~ReplacementFile()
{
    Discard();
    delete[] m_Buffer;
}

void ReplacementFile::Discard()
{
    if (m_Descriptor == -1)
        return;
    ::close(m_Descriptor);
    m_Descriptor = -1;
    ::unlink(m_Temporary.c_str());
}

uint8_t* ReplacementFile::Room(std::size_t wanted, std::size_t* size)
{
    if (!IsOpen() || m_Failed || (m_Filled == kWriteBuffer && !Flush()))
        return nullptr;
    *size = std::min(wanted, kWriteBuffer - m_Filled);
    return m_Buffer + m_Filled;
}

bool ReplacementFile::Commit(std::size_t n)
{
    if (!IsOpen() || m_Failed || n > kWriteBuffer - m_Filled)
        return false;
    m_Filled += n;
    return m_Filled < kWriteBuffer || Flush();
}

bool ReplacementFile::Flush()
{
    if (!WriteAll(m_Descriptor, m_Buffer, m_Filled))
        m_Failed = true;
    m_Filled = 0;
    return !m_Failed;
}

bool ReplacementFile::WriteThrough(const void* bytes, std::size_t n)
{
    if (!IsOpen() || m_Failed || !Flush())
        return false;
    m_Failed = !WriteAll(m_Descriptor, static_cast<const uint8_t*>(bytes), n);
    return !m_Failed;
}

bool ReplacementFile::Finish()
{
    if (!IsOpen())
        return false;
    bool ok = !m_Failed && Flush();
    struct stat existing;
    if (ok && ::stat(m_Final.c_str(), &existing) == 0 && S_ISREG(existing.st_mode))
        ok = ::fchmod(m_Descriptor, existing.st_mode & 07777) == 0;
    // Synced before the rename: after a crash the name holds the old file or the whole new one.
    ok = ok && ::fsync(m_Descriptor) == 0;
    ok = ::close(m_Descriptor) == 0 && ok;
    m_Descriptor = -1;
    ok = ok && ::rename(m_Temporary.c_str(), m_Final.c_str()) == 0;
    if (!ok)
        ::unlink(m_Temporary.c_str());
    return ok;
}

bool ReplaceWholeFile(const char* path, const void* buffer, std::size_t size)
{
    ReplacementFile file(path);
    return file.IsOpen() && file.WriteThrough(buffer, size) && file.Finish();
}

} // namespace vlpatch
