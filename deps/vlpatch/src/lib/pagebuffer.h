// Zero-filled memory of a fixed size, taken from the system page by page: a page costs memory
// only once it is written, and pages that are done with can be given back early. Large payload
// streams are held in it, so that a stream of zeros or one that is read front to back does not
// stay in memory whole.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vlpatch {

class PageBuffer {
public:
    PageBuffer() = default;
    ~PageBuffer();
    PageBuffer(const PageBuffer&) = delete;
    PageBuffer& operator=(const PageBuffer&) = delete;

    // Replaces the contents with `size` zero bytes; false when the memory cannot be had.
    bool Allocate(std::size_t size);

    // Copies the bytes to the offset, leaving pages that would only receive zeros untouched.
    void WriteSparse(std::size_t offset, const uint8_t* bytes, std::size_t n);
    // Gives back the whole pages inside [begin, end); they read as zeros afterwards.
    void Discard(const uint8_t* begin, const uint8_t* end);

    uint8_t* data() { return m_Data; }
    const uint8_t* data() const { return m_Data; }
    std::size_t size() const { return m_Size; }

    static std::size_t PageSize();

private:
    void Free();

    uint8_t* m_Data = nullptr;
    std::size_t m_Size = 0;
};

} // namespace vlpatch
