#include "memoryallowance.h"

#include "logstream.h"

namespace vlpatch {

bool MemoryAllowance::Take(uint64_t bytes)
{
    if (bytes > m_Left) {
        LogStream(1) << "decoding needs " << bytes << " bytes, more than the " << m_Left << " left of its budget";
        return false;
    }
    m_Left -= bytes;
    return true;
}

void AllowanceShare::DrawOn(MemoryAllowance* allowance)
{
    GiveBack();
    m_Allowance = allowance;
}

bool AllowanceShare::Take(uint64_t bytes)
{
    if (!m_Allowance)
        return true;
    if (!m_Allowance->Take(bytes))
        return false;
    m_Taken += bytes;
    return true;
}

void AllowanceShare::GiveBack()
{
    if (m_Allowance)
        m_Allowance->Give(m_Taken);
    m_Taken = 0;
}

} // namespace vlpatch
