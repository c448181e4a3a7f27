// The memory that one decode may take for the sizes and counts its input announces. Every
// reservation sized by the input is taken from it first, so that a crafted count is refused
// instead of reserved; what is freed again is given back.
#pragma once

#include <cstdint>

namespace vlpatch {

class MemoryAllowance {
public:
    explicit MemoryAllowance(uint64_t bytes) : m_Left(bytes) {}
    MemoryAllowance(const MemoryAllowance&) = delete;
    MemoryAllowance& operator=(const MemoryAllowance&) = delete;

    // Takes the bytes; false, with a logged line and nothing taken, when fewer are left.
    bool Take(uint64_t bytes);
    void Give(uint64_t bytes) { m_Left += bytes; }

    uint64_t left() const { return m_Left; }

private:
    uint64_t m_Left;
};

// What one holder has taken from an allowance; it goes back when the holder goes. A share of no
// allowance takes anything.
class AllowanceShare {
public:
    AllowanceShare() = default;
    explicit AllowanceShare(MemoryAllowance* allowance) : m_Allowance(allowance) {}
    ~AllowanceShare() { GiveBack(); }
    AllowanceShare(const AllowanceShare&) = delete;
    AllowanceShare& operator=(const AllowanceShare&) = delete;

    // Gives back what was taken and draws on `allowance` from now on.
    void DrawOn(MemoryAllowance* allowance);
    bool Take(uint64_t bytes);
    void GiveBack();

private:
    MemoryAllowance* m_Allowance = nullptr;
    uint64_t m_Taken = 0;
};

} // namespace vlpatch
