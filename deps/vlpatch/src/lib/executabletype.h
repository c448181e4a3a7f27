// The kinds of executable the patcher can disassemble; the numbers travel in patches and
// containers as element kinds.
#pragma once

#include <cstdint>

namespace vlpatch {

enum ExecutableType : uint32_t {
    EXE_UNKNOWN = 0,
    EXE_WIN_32_X86 = 1,
    EXE_ELF_32_X86 = 2,
    EXE_ELF_32_ARM = 3,
    EXE_WIN_32_X64 = 4,
    EXE_ELF_64_X64 = 5,
    EXE_MACHO_X86 = 6,
    EXE_MACHO_X64 = 7,
};

constexpr uint32_t kLastExecutableType = EXE_MACHO_X64;

// The type's name for log lines ("WIN_32_X86", ...); "UNKNOWN" for 0 and any value out of range.
const char* ExecutableTypeName(uint32_t type);

} // namespace vlpatch
