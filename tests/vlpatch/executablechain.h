// The path an executable element of a patch takes, for the disassembler tests: detect,
// disassemble, trim, encode, write the stream set, read it back and assemble. Also the outside
// tools' text output that the tests compare with.
#pragma once

#include "scratchdir.h"

#include <string>

namespace vlpatch {
class AssemblyProgram;
}

struct ChainResult {
    int status = 0; // 1, or the first failing step's status
    ByteVector serialised; // the written stream set
    ByteVector reserialised; // the program read back, written again: equal to serialised when sound
    ByteVector assembled;
};

ChainResult runChain(const ByteVector& bytes);

// Output of a shell command (stdout only); fails the calling test when it exits non-zero.
std::string commandOutput(const ScratchDir& dir, const std::string& commandLine);

// Where the rel32 ops of an ELF or Mach-O program land when it is assembled: output offset, RVA
// and size of each.
struct EmittedRel32 {
    uint64_t outputOffset;
    uint32_t rva;
    uint32_t size;
};
std::vector<EmittedRel32> emittedRel32(const vlpatch::AssemblyProgram& program);
