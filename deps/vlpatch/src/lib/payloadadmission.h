// Admission of preprocessed container payloads that threads decode at the same time: the
// payloads admitted together stay within one bound of bytes, so that the memory of an update
// follows its largest file rather than the sum of those unpacked at once.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace vlpatch {

class PayloadAdmission {
public:
    explicit PayloadAdmission(uint64_t bound) : m_Bound(bound) {}
    PayloadAdmission(const PayloadAdmission&) = delete;
    PayloadAdmission& operator=(const PayloadAdmission&) = delete;

    // Waits until a payload of `bytes` fits beside those admitted; one larger than the bound is
    // admitted once it is alone, else it would wait for ever.
    void Enter(uint64_t bytes);
    // Gives back what Enter took and lets the waiting payloads try again.
    void Leave(uint64_t bytes);

private:
    bool Fits(uint64_t bytes) const;

    const uint64_t m_Bound;
    std::mutex m_Mutex;
    std::condition_variable m_Turn;
    uint64_t m_InUse = 0;
};

} // namespace vlpatch
