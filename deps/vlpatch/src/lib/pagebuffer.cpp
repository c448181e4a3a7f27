#include "pagebuffer.h"

#include <algorithm>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

namespace vlpatch {

namespace {

bool AllZero(const uint8_t* bytes, std::size_t n)
{
    return n == 0 || (bytes[0] == 0 && std::memcmp(bytes, bytes + 1, n - 1) == 0);
}

} // namespace

PageBuffer::~PageBuffer()
{
    Free();
}

std::size_t PageBuffer::PageSize()
{
    static const std::size_t size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return size;
}

bool PageBuffer::Allocate(std::size_t size)
{
    Free();
    if (size == 0)
        return true;
    void* memory = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        return false;
    m_Data = static_cast<uint8_t*>(memory);
    m_Size = size;
    return true;
}

void PageBuffer::Free()
{
    if (m_Data)
        ::munmap(m_Data, m_Size);
    m_Data = nullptr;
    m_Size = 0;
}

void PageBuffer::WriteSparse(std::size_t offset, const uint8_t* bytes, std::size_t n)
{
    const std::size_t page = PageSize();
    while (n != 0) {
        const std::size_t piece = std::min(n, page - (offset % page));
        if (!AllZero(bytes, piece))
            std::memcpy(m_Data + offset, bytes, piece);
        offset += piece;
        bytes += piece;
        n -= piece;
    }
}

void PageBuffer::Discard(const uint8_t* begin, const uint8_t* end)
{
    const std::size_t page = PageSize();
    const auto first = (reinterpret_cast<uintptr_t>(begin) + page - 1) / page * page;
    const auto last = reinterpret_cast<uintptr_t>(end) / page * page;
    if (last > first)
        ::madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
}

} // namespace vlpatch
