// The PE disassemblers against real Windows DLLs from Debian's mingw-w64 runtime packages, with
// objdump as the independent reader of their headers and base relocations.
#include "assemblyprogram.h"
#include "disassembler.h"
#include "disassemblerwin32.h"
#include "executablechain.h"
#include "scratchdir.h"
#include "status.h"
#include "streamset.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <sstream>

using namespace vlpatch;

namespace {

const char* const kI686Dir = "/usr/lib/gcc/i686-w64-mingw32/12-win32/";
const char* const kX64Dir = "/usr/lib/gcc/x86_64-w64-mingw32/12-win32/";

struct PeSample {
    std::string path;
    ExecutableType type;
};

std::vector<PeSample> samples()
{
    std::vector<PeSample> list;
    for (const char* name : {"libssp-0.dll", "libatomic-1.dll", "libgcc_s_dw2-1.dll", "libquadmath-0.dll",
                             "libgomp-1.dll", "libobjc-4.dll"})
        list.push_back({std::string(kI686Dir) + name, EXE_WIN_32_X86});
    for (const char* name : {"libssp-0.dll", "libatomic-1.dll", "libgcc_s_seh-1.dll", "libquadmath-0.dll",
                             "libgomp-1.dll", "libobjc-4.dll"})
        list.push_back({std::string(kX64Dir) + name, EXE_WIN_32_X64});
    return list;
}

std::string readText(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// What objdump reports about a PE file.
struct ObjdumpView {
    uint32_t magic = 0;
    uint64_t imageBase = 0;
    uint32_t sizeOfImage = 0;
    uint32_t fileAlignment = 0;
    std::vector<std::pair<uint32_t, std::string>> relocs; // RVA and type name
    uint64_t rawExtent = 0; // end of the last section with contents, raw size rounded to the alignment
    uint64_t textStart = 0; // virtual address and size of .text
    uint64_t textSize = 0;
    uint64_t relocOffset = 0; // file offset of .reloc
    uint32_t relocDirectoryRva = 0;
    uint32_t relocDirectorySize = 0;
};

ObjdumpView objdumpView(const ScratchDir& dir, const std::string& file)
{
    const std::string objdump = requireTool("objdump");
    const std::string privateOut = dir.file("objdump-p.txt");
    const std::string headersOut = dir.file("objdump-h.txt");
    EXPECT_EQ(runShell(objdump + " -p '" + file + "' > '" + privateOut + "'"), 0);
    EXPECT_EQ(runShell(objdump + " -h '" + file + "' > '" + headersOut + "'"), 0);

    ObjdumpView view;
    std::smatch m;
    const std::string p = readText(privateOut);
    if (std::regex_search(p, m, std::regex("\\nEntry 5 ([0-9a-f]+) ([0-9a-f]+) Base Relocation Directory"))) {
        view.relocDirectoryRva = uint32_t(std::stoull(m[1].str(), nullptr, 16));
        view.relocDirectorySize = uint32_t(std::stoull(m[2].str(), nullptr, 16));
    }
    const std::regex field("\\n(Magic|ImageBase|SizeOfImage|FileAlignment)\\s+([0-9a-fA-F]+)");
    for (auto it = std::sregex_iterator(p.begin(), p.end(), field); it != std::sregex_iterator(); ++it) {
        const uint64_t value = std::stoull((*it)[2].str(), nullptr, 16);
        const std::string name = (*it)[1].str();
        if (name == "Magic")
            view.magic = static_cast<uint32_t>(value);
        else if (name == "ImageBase")
            view.imageBase = value;
        else if (name == "SizeOfImage")
            view.sizeOfImage = static_cast<uint32_t>(value);
        else
            view.fileAlignment = static_cast<uint32_t>(value);
    }
    const std::regex reloc("reloc\\s+\\d+\\s+offset\\s+[0-9a-f]+\\s+\\[([0-9a-f]+)\\]\\s+(\\w+)");
    for (auto it = std::sregex_iterator(p.begin(), p.end(), reloc); it != std::sregex_iterator(); ++it)
        view.relocs.emplace_back(static_cast<uint32_t>(std::stoul((*it)[1].str(), nullptr, 16)), (*it)[2].str());

    const std::string h = readText(headersOut);
    const std::regex section("\\n\\s*\\d+\\s+(\\S+)\\s+([0-9a-f]+)\\s+([0-9a-f]+)\\s+[0-9a-f]+\\s+([0-9a-f]+)\\s+\\S+\\s*\\n([^\\n]*)");
    for (auto it = std::sregex_iterator(h.begin(), h.end(), section); it != std::sregex_iterator(); ++it) {
        const uint64_t size = std::stoull((*it)[2].str(), nullptr, 16);
        if ((*it)[1].str() == ".text") {
            view.textStart = std::stoull((*it)[3].str(), nullptr, 16);
            view.textSize = size;
        }
        if ((*it)[5].str().find("CONTENTS") == std::string::npos)
            continue;
        const uint64_t offset = std::stoull((*it)[4].str(), nullptr, 16);
        if ((*it)[1].str() == ".reloc")
            view.relocOffset = offset;
        const uint64_t alignment = view.fileAlignment ? view.fileAlignment : 1;
        view.rawExtent = std::max(view.rawExtent, offset + (size + alignment - 1) / alignment * alignment);
    }
    return view;
}

// The operand RVAs of the five-byte calls and jumps (E8/E9) that objdump -d finds in .text and
// whose targets lie in .text: what the rel32 byte scan is meant to find.
std::vector<uint32_t> objdumpBranchOperands(const ScratchDir& dir, const std::string& file, const ObjdumpView& view)
{
    const std::string out = dir.file("objdump-d.txt");
    EXPECT_EQ(runShell(requireTool("objdump") + " -d -j .text '" + file + "' > '" + out + "'"), 0);
    std::ifstream in(out);
    std::vector<uint32_t> operands;
    std::string line;
    while (std::getline(in, line)) {
        // "  6fe81010:\te8 0b 00 00 00       \tcall   ..."
        const std::size_t colon = line.find(":\t");
        if (colon == std::string::npos || line.size() < colon + 2 + 14)
            continue;
        std::istringstream fields(line.substr(colon + 2, line.find('\t', colon + 2) - colon - 2));
        std::vector<unsigned> bytes;
        std::string byte;
        while (fields >> byte)
            bytes.push_back(unsigned(std::stoul(byte, nullptr, 16)));
        if (bytes.size() != 5 || (bytes[0] != 0xE8 && bytes[0] != 0xE9))
            continue;
        const uint64_t address = std::stoull(line.substr(0, colon), nullptr, 16);
        const int32_t displacement = int32_t(bytes[1] | bytes[2] << 8 | bytes[3] << 16 | bytes[4] << 24);
        const uint64_t target = address + 5 + int64_t(displacement);
        if (target >= view.textStart && target < view.textStart + view.textSize)
            operands.push_back(uint32_t(address + 1 - view.imageBase));
    }
    return operands;
}

// The path an ensemble element takes; writing what was read back must give the same bytes.
ChainResult roundTrip(const ByteVector& bytes)
{
    ChainResult result = runChain(bytes);
    if (result.status == C_OK) {
        EXPECT_EQ(result.reserialised, result.serialised);
    }
    return result;
}

std::string strippedCopy(const ScratchDir& dir, const std::string& path)
{
    const std::string out = dir.file("stripped.dll");
    EXPECT_EQ(runShell(requireTool("strip") + " -o '" + out + "' '" + path + "'"), 0);
    return out;
}

void checkAgainstObjdump(const ScratchDir& dir, const std::string& path, ExecutableType expectedType, bool stripped)
{
    SCOPED_TRACE(path);
    const ByteVector bytes = readBytes(path);
    ASSERT_FALSE(bytes.empty());
    const ObjdumpView view = objdumpView(dir, path);
    ASSERT_EQ(view.magic, expectedType == EXE_WIN_32_X86 ? 0x10Bu : 0x20Bu);

    ExecutableType type = EXE_UNKNOWN;
    std::size_t length = 0;
    ASSERT_EQ(DetectExecutableType(bytes.data(), bytes.size(), &type, &length), C_OK);
    EXPECT_EQ(type, expectedType);
    EXPECT_EQ(length, view.rawExtent);
    ASSERT_LE(length, bytes.size());
    if (stripped && length < bytes.size()) {
        // strip keeps only the COFF string table (long section names such as ".eh_frame")
        // behind the sections: its first word is its own size.
        const std::size_t tail = bytes.size() - length;
        ASSERT_GE(tail, 4u);
        EXPECT_EQ(bytes[length] | bytes[length + 1] << 8 | bytes[length + 2] << 16 | bytes[length + 3] << 24,
                  static_cast<int>(tail));
    } else if (!stripped) {
        EXPECT_LT(length, bytes.size()); // the COFF symbol table follows the sections
    }

    std::unique_ptr<Disassembler> disassembler = DetectDisassembler(bytes.data(), bytes.size());
    ASSERT_TRUE(disassembler);
    auto* pe = static_cast<DisassemblerWin32*>(disassembler.get());
    EXPECT_EQ(pe->image_base(), view.imageBase);
    EXPECT_EQ(pe->size_of_image(), view.sizeOfImage);
    AssemblyProgram program(type);
    ASSERT_TRUE(pe->Disassemble(&program));
    EXPECT_EQ(program.image_base(), view.imageBase);

    std::vector<uint32_t> expectedAbs32;
    const std::string kept = expectedType == EXE_WIN_32_X86 ? "HIGHLOW" : "DIR64";
    for (const auto& reloc : view.relocs) {
        ASSERT_TRUE(reloc.second == kept || reloc.second == "ABSOLUTE") << reloc.second;
        if (reloc.second == kept)
            expectedAbs32.push_back(reloc.first);
    }
    std::sort(expectedAbs32.begin(), expectedAbs32.end());
    ASSERT_FALSE(expectedAbs32.empty());
    const std::vector<uint32_t> abs32(pe->abs32_locations().data(),
                                      pe->abs32_locations().data() + pe->abs32_locations().size());
    EXPECT_EQ(abs32, expectedAbs32);
    if (!stripped) {
        // A byte scan can lose a branch to an earlier false candidate that overlaps it, but
        // hardly ever does in compiled code.
        const std::vector<uint32_t> branches = objdumpBranchOperands(dir, path, view);
        ASSERT_GT(branches.size(), 50u);
        const uint32_t* rel32 = pe->rel32_locations().data();
        const std::size_t rel32Count = pe->rel32_locations().size();
        std::size_t found = 0;
        for (uint32_t operand : branches)
            found += std::binary_search(rel32, rel32 + rel32Count, operand);
        EXPECT_GE(found * 100, branches.size() * 99) << found << " of " << branches.size();
    }
    EXPECT_GT(program.rel32_labels().size(), 0u);
    EXPECT_EQ(program.abs32_labels().empty(), abs32.empty());

    const ChainResult trip = roundTrip(bytes);
    ASSERT_EQ(trip.status, C_OK);
    // The relocation table is rebuilt from the abs32 words; for linker output it comes back
    // byte for byte, so the whole image up to the detected length does.
    ASSERT_EQ(trip.assembled.size(), length);
    EXPECT_TRUE(std::equal(trip.assembled.begin(), trip.assembled.end(), bytes.begin()));
}

} // namespace

TEST(PeFiles, AgreeWithObjdumpAndRoundTripExactly)
{
    ScratchDir dir;
    for (const PeSample& sample : samples()) {
        checkAgainstObjdump(dir, sample.path, sample.type, false);
        checkAgainstObjdump(dir, strippedCopy(dir, sample.path), sample.type, true);
    }
}

// EFI images made by objcopy from ELF: their .reloc holds one block of padding entries only,
// so no abs32 word is found and the table comes back empty: the assembled image is the file
// without the relocation directory's bytes.
TEST(PeFiles, EfiImagesRebuildAnEmptyRelocationTable)
{
    ScratchDir dir;
    for (const char* path : {"/usr/lib/systemd/boot/efi/systemd-bootx64.efi",
                             "/usr/lib/systemd/boot/efi/linuxx64.efi.stub"}) {
        SCOPED_TRACE(path);
        const ByteVector bytes = readBytes(path);
        ASSERT_FALSE(bytes.empty()) << "install systemd-boot-efi (tools/install-deps --tests)";
        const ObjdumpView view = objdumpView(dir, path);
        ASSERT_EQ(view.magic, 0x20Bu);
        ASSERT_GT(view.relocDirectorySize, 0u);
        for (const auto& reloc : view.relocs)
            ASSERT_EQ(reloc.second, "ABSOLUTE");

        ExecutableType type = EXE_UNKNOWN;
        std::size_t length = 0;
        ASSERT_EQ(DetectExecutableType(bytes.data(), bytes.size(), &type, &length), C_OK);
        EXPECT_EQ(type, EXE_WIN_32_X64);
        EXPECT_EQ(length, view.rawExtent);

        std::unique_ptr<Disassembler> disassembler = DetectDisassembler(bytes.data(), bytes.size());
        ASSERT_TRUE(disassembler);
        auto* pe = static_cast<DisassemblerWin32*>(disassembler.get());
        AssemblyProgram program(type);
        ASSERT_TRUE(pe->Disassemble(&program));
        EXPECT_EQ(pe->abs32_locations().size(), 0u);
        const std::vector<uint32_t> branches = objdumpBranchOperands(dir, path, view);
        ASSERT_GT(branches.size(), 50u);
        std::size_t found = 0;
        for (uint32_t operand : branches)
            found += std::binary_search(pe->rel32_locations().data(),
                                        pe->rel32_locations().data() + pe->rel32_locations().size(), operand);
        EXPECT_GE(found * 100, branches.size() * 99) << found << " of " << branches.size();

        const ChainResult trip = roundTrip(bytes);
        ASSERT_EQ(trip.status, C_OK);
        ByteVector expected(bytes.begin(), bytes.begin() + view.relocOffset);
        expected.insert(expected.end(), bytes.begin() + view.relocOffset + view.relocDirectorySize,
                        bytes.begin() + length);
        EXPECT_EQ(trip.assembled, expected);
    }
}
