// What readelf reports about an ELF file, and what the ELF disassemblers must therefore find:
// the detected length, the abs32 list and the bytes the assembler gives back.
#pragma once

#include "scratchdir.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vlpatch {
class AssemblyProgram;
}

struct ElfView {
    struct Section {
        std::string name;
        std::string type;
        uint64_t addr = 0;
        uint64_t offset = 0;
        uint64_t size = 0;
    };
    struct Segment {
        std::string type;
        uint64_t offset = 0;
        uint64_t vaddr = 0;
        uint64_t filesz = 0;
        uint64_t memsz = 0;
    };
    struct Reloc {
        uint64_t offset;
        uint64_t info;
    };
    struct RelocSection {
        std::string name;
        std::vector<Reloc> entries;
    };

    bool elf64 = false;
    std::string machine;
    uint64_t phoff = 0, phentsize = 0, phnum = 0;
    uint64_t shoff = 0, shentsize = 0, shnum = 0;
    std::vector<Section> sections; // in table order, the null section first
    std::vector<Segment> segments;
    std::vector<RelocSection> relocs;

    const Section* section(const std::string& name) const;
    // The file's extent as the headers describe it.
    uint64_t extent() const;
    // The relative relocations (r_info equal to relativeInfo) of REL sections whose location
    // lies in a PROGBITS or REL section, sorted.
    std::vector<uint32_t> abs32(uint64_t relativeInfo) const;
    // The byte ranges of REL sections that the ARM rule drops: the matched entries and the
    // mismatching one, when the run of relative entries differs from the abs32 list.
    std::vector<std::pair<uint64_t, uint64_t>> droppedArmRelocs(const std::vector<uint32_t>& abs32) const;
};

ElfView readElfView(const ScratchDir& dir, const std::string& path);

// Checks that the assembled bytes are the file's bytes up to the detected length, except where
// the rules require otherwise: dropped ARM relocation entries are missing, and a rel32 site
// found in a section without an address (comments, debug data) carries that section's bytes to
// the position its address maps to.
void expectReassembledAsRequired(const ElfView& view, const ByteVector& file, uint64_t length,
                                 const vlpatch::AssemblyProgram& program, const ByteVector& assembled,
                                 const std::vector<std::pair<uint64_t, uint64_t>>& dropped);

// One real ELF file through detection and the whole element chain, compared with readelf:
// type, detected length, abs32 list, rel32 sites and the reassembled bytes. Returns the
// chain's status (1 when it went through and every check was made).
int checkElfFile(const ScratchDir& dir, const std::string& path, uint32_t type);

// Checks that the x86 or x86-64 scan found the rel32 operands of at least 99% of the direct
// calls and jumps (and, for x86-64, RIP-relative calls, jumps, loads and address loads) that
// objdump decodes in .text with targets in a loadable segment; the scan may lose a few to
// candidates that overlap them.
void expectRel32SitesCoverObjdump(const ScratchDir& dir, const std::string& path, const ElfView& view);
