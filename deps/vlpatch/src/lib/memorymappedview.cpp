#include "memorymappedview.h"

#include <algorithm>

#include <cstdio>
#include <fcntl.h>
#include <stdexcept>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vlpatch {

MemoryMappedView::MemoryMappedView(const char* path, uint64_t length, int advice)
    : m_Advice(advice), m_MappedLength(length)
{
    OpenAndMap(path, length);
}

MemoryMappedView::~MemoryMappedView()
{
    Close();
}

bool MemoryMappedView::Open(const char* path, uint64_t length, int advice)
{
    if (m_View)
        return false;
    Close();
    m_Advice = advice;
    m_MappedLength = length;
    OpenAndMap(path, length);
    return IsValid();
}

void MemoryMappedView::OpenAndMap(const char* path, uint64_t length)
{
    m_Descriptor = ::open(path, O_RDONLY | O_CLOEXEC);
    if (m_Descriptor == -1)
        return;
    struct stat info;
    if (::fstat(m_Descriptor, &info) != 0)
        return;
    m_FileLength = static_cast<uint64_t>(info.st_size);
    MapViewOfFile(0, length);
}

void MemoryMappedView::Close()
{
    m_FileLength = 0;
    if (m_View) {
        ::munmap(const_cast<uint8_t*>(m_View), m_MappedLength);
        m_View = nullptr;
    }
    if (m_Descriptor != -1) {
        ::close(m_Descriptor);
        m_Descriptor = -1;
    }
}

bool MemoryMappedView::MapViewOfFile(uint64_t offset, uint64_t length)
{
    if (m_Descriptor == -1)
        return false;
    if (length == 0)
        length = m_FileLength;
    if (m_View) {
        ::munmap(const_cast<uint8_t*>(m_View), m_MappedLength);
        m_View = nullptr;
    }
    if (offset > m_FileLength)
        return false;
    if (length > m_FileLength - offset)
        length = m_FileLength - offset;

    void* view = length > SIZE_MAX ? MAP_FAILED
                                   : ::mmap64(nullptr, static_cast<std::size_t>(length), PROT_READ, MAP_SHARED,
                                              m_Descriptor, static_cast<off64_t>(offset));
    if (view == MAP_FAILED) {
        m_MappedLength = 0;
        return false;
    }
    m_View = static_cast<const uint8_t*>(view);
    m_MappedLength = length;
    const int advice = m_Advice == SEQUENTIAL ? MADV_SEQUENTIAL : m_Advice == RANDOM ? MADV_RANDOM : MADV_NORMAL;
    ::madvise(view, static_cast<std::size_t>(length), advice);
    return true;
}

uint8_t MemoryMappedView::at(std::size_t i) const
{
    if (!m_View)
        throw std::invalid_argument("No view mapped");
    if (i >= m_MappedLength)
        throw std::out_of_range("View is not large enough");
    return m_View[i];
}

void MemoryMappedView::Release(const uint8_t* end) const
{
    if (!m_View || end <= m_View)
        return;
    const std::size_t page = PageSize();
    const std::size_t length = std::min<std::size_t>(end - m_View, m_MappedLength) / page * page;
    if (length != 0)
        ::madvise(const_cast<uint8_t*>(m_View), length, MADV_DONTNEED);
}

std::size_t MemoryMappedView::PageSize()
{
    return static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

std::size_t WriteWholeFile(const char* path, const void* buffer, std::size_t size)
{
    std::FILE* file = std::fopen(path, "wb");
    if (!file)
        return 0;
    const std::size_t written = std::fwrite(buffer, 1, size, file);
    // Buffered bytes reach the disk only when the file is closed; a failure there (disk full)
    // means the file is not what we wrote.
    if (std::fclose(file) != 0)
        return 0;
    return written;
}

} // namespace vlpatch
