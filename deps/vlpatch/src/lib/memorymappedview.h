// Read-only memory mapping of a whole file (or a window of it), and the whole-buffer file
// writer: the patcher parses its inputs in place and writes each result in one go.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vlpatch {

class MemoryMappedView {
public:
    enum Advice { NORMAL = 0, SEQUENTIAL = 1, RANDOM = 2 };

    MemoryMappedView() = default;
    // length 0 maps the whole file.
    MemoryMappedView(const char* path, uint64_t length, int advice);
    ~MemoryMappedView();
    MemoryMappedView(const MemoryMappedView&) = delete;
    MemoryMappedView& operator=(const MemoryMappedView&) = delete;

    // Refused while a view is mapped; returns IsValid().
    bool Open(const char* path, uint64_t length, int advice);
    void Close();
    bool IsValid() const { return m_View != nullptr; }
    bool MapViewOfFile(uint64_t offset, uint64_t length);

    const uint8_t* data() const { return m_View; }
    uint64_t length() const { return m_MappedLength; }
    uint64_t file_length() const { return m_FileLength; }
    uint8_t operator[](std::size_t i) const { return m_View[i]; }
    // Bounds-tested: throws std::invalid_argument without a view, std::out_of_range past it.
    uint8_t at(std::size_t i) const;

    // Drops the mapped pages wholly before `end` from this process's memory; they stay in the
    // file and come back if read again.
    void Release(const uint8_t* end) const;

    static std::size_t PageSize();

private:
    void OpenAndMap(const char* path, uint64_t length);

    uint64_t m_FileLength = 0;
    int m_Advice = NORMAL;
    uint64_t m_MappedLength = 0;
    int m_Descriptor = -1;
    const uint8_t* m_View = nullptr;
};

// Writes the buffer to the path, replacing the file; returns the number of bytes written, which
// is below size when anything failed, closing (and so the final flush) included.
std::size_t WriteWholeFile(const char* path, const void* buffer, std::size_t size);

} // namespace vlpatch
