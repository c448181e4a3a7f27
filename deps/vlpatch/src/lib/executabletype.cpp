#include "executabletype.h"

namespace vlpatch {

const char* ExecutableTypeName(uint32_t type)
{
    static const char* const names[] = {
        "UNKNOWN", "WIN_32_X86", "EXE_ELF_32_X86", "ELF_32_ARM",
        "WIN_32_X64", "ELF_64_X64", "MACHO_X86", "MACHO_X64",
    };
    return type <= kLastExecutableType ? names[type] : names[EXE_UNKNOWN];
}

} // namespace vlpatch
