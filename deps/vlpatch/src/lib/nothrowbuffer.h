// Growable array of trivially copyable elements whose allocation never throws. A failed
// allocation empties the buffer and leaves the marker capacity 0xFFFFFFFF, after which every
// growth fails, so a long run of writes may be checked once at its end.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>

namespace vlpatch {

template <typename T, std::size_t MinCapacity>
class NoThrowBuffer {
    static_assert(std::is_trivially_copyable<T>::value, "elements are moved with memcpy");

public:
    static constexpr std::size_t kFailedCapacity = 0xFFFFFFFF;
    static constexpr std::size_t kMaxElements = PTRDIFF_MAX / sizeof(T);

    NoThrowBuffer() = default;
    NoThrowBuffer(const NoThrowBuffer&) = delete;
    NoThrowBuffer& operator=(const NoThrowBuffer&) = delete;
    ~NoThrowBuffer() { ::operator delete[](m_Data); }

    T* data() { return m_Data; }
    const T* data() const { return m_Data; }
    std::size_t size() const { return m_Size; }
    std::size_t capacity() const { return m_Capacity; }
    bool failed() const { return m_Capacity == kFailedCapacity; }
    bool empty() const { return m_Size == 0; }
    T& operator[](std::size_t i) { return m_Data[i]; }
    const T& operator[](std::size_t i) const { return m_Data[i]; }
    T& back() { return m_Data[m_Size - 1]; }

    // Room for n elements in all, allocated exactly (at least MinCapacity), without doubling.
    bool reserve(std::size_t n)
    {
        if (failed())
            return false;
        if (n <= m_Capacity)
            return true;
        return reallocate(n < MinCapacity ? MinCapacity : n);
    }

    // Appends n elements, doubling the capacity from MinCapacity until they fit.
    bool append(const T* items, std::size_t n)
    {
        if (!grow(n))
            return false;
        if (n != 0)
            std::memcpy(m_Data + m_Size, items, n * sizeof(T));
        m_Size += n;
        return true;
    }

    bool push_back(const T& item) { return append(&item, 1); }

    // Makes the size n; new elements take the value fill.
    bool resize(std::size_t n, const T& fill)
    {
        if (!reserve(n))
            return false;
        if (n > m_Size)
            std::fill_n(m_Data + m_Size, n - m_Size, fill);
        m_Size = n;
        return true;
    }

    // Takes n elements that were written in place behind the current size.
    bool commit(std::size_t n)
    {
        if (failed() || n > m_Capacity - m_Size)
            return false;
        m_Size += n;
        return true;
    }

    // Forgets the contents but keeps the storage.
    void clear() { m_Size = 0; }

    // Frees the storage; the buffer becomes empty and usable again.
    void release()
    {
        ::operator delete[](m_Data);
        m_Data = nullptr;
        m_Size = 0;
        m_Capacity = 0;
    }

    void swap(NoThrowBuffer& other)
    {
        std::swap(m_Data, other.m_Data);
        std::swap(m_Size, other.m_Size);
        std::swap(m_Capacity, other.m_Capacity);
    }

private:
    bool grow(std::size_t n)
    {
        if (failed() || n > kMaxElements - m_Size)
            return false;
        if (n == 0 || m_Capacity - m_Size >= n)
            return true;
        const std::size_t needed = m_Size + n;
        std::size_t capacity = m_Capacity == 0 ? MinCapacity : m_Capacity;
        while (capacity < needed)
            capacity = capacity > kMaxElements / 2 ? kMaxElements : capacity * 2;
        return reallocate(capacity < MinCapacity ? MinCapacity : capacity);
    }

    bool reallocate(std::size_t capacity)
    {
        T* data = capacity == kFailedCapacity
            ? nullptr
            : static_cast<T*>(::operator new[](capacity * sizeof(T), std::nothrow));
        if (!data) {
            ::operator delete[](m_Data);
            m_Data = nullptr;
            m_Size = 0;
            m_Capacity = kFailedCapacity;
            return false;
        }
        if (m_Size != 0)
            std::memcpy(data, m_Data, m_Size * sizeof(T));
        ::operator delete[](m_Data);
        m_Data = data;
        m_Capacity = capacity;
        return true;
    }

    T* m_Data = nullptr;
    std::size_t m_Size = 0;
    std::size_t m_Capacity = 0;
};

} // namespace vlpatch
