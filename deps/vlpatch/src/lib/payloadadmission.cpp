#include "payloadadmission.h"

namespace vlpatch {

bool PayloadAdmission::Fits(uint64_t bytes) const
{
    return m_InUse == 0 || (m_InUse <= m_Bound && bytes <= m_Bound - m_InUse);
}

void PayloadAdmission::Enter(uint64_t bytes)
{
    std::unique_lock<std::mutex> lock(m_Mutex);
    m_Turn.wait(lock, [&] { return Fits(bytes); });
    m_InUse += bytes;
}

void PayloadAdmission::Leave(uint64_t bytes)
{
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_InUse -= bytes;
    }
    m_Turn.notify_all();
}

} // namespace vlpatch
