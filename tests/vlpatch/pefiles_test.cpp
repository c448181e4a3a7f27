// The PE disassemblers against real Windows DLLs from Debian's mingw-w64 runtime packages, with
// objdump as the independent reader of their headers and base relocations.
#include "assemblyprogram.h"
#include "disassembler.h"
#include "disassemblerwin32.h"
#include "encodedprogram.h"
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
    const std::regex section("\\n\\s*\\d+\\s+\\S+\\s+([0-9a-f]+)\\s+[0-9a-f]+\\s+[0-9a-f]+\\s+([0-9a-f]+)\\s+\\S+\\s*\\n([^\\n]*)");
    for (auto it = std::sregex_iterator(h.begin(), h.end(), section); it != std::sregex_iterator(); ++it) {
        if ((*it)[3].str().find("CONTENTS") == std::string::npos)
            continue;
        const uint64_t size = std::stoull((*it)[1].str(), nullptr, 16);
        const uint64_t offset = std::stoull((*it)[2].str(), nullptr, 16);
        const uint64_t alignment = view.fileAlignment ? view.fileAlignment : 1;
        view.rawExtent = std::max(view.rawExtent, offset + (size + alignment - 1) / alignment * alignment);
    }
    return view;
}

struct RoundTrip {
    int status = 0;
    ByteVector serialised;
    ByteVector assembled;
};

// disassemble, trim, encode, write, read, assemble: the path an ensemble element takes.
RoundTrip roundTrip(const ByteVector& bytes)
{
    RoundTrip result;
    AssemblyProgram* program = nullptr;
    result.status = ParseDetectedExecutable(bytes.data(), bytes.size(), &program);
    if (result.status != C_OK)
        return result;
    std::unique_ptr<AssemblyProgram> owned(program);
    EncodedProgram* encoded = nullptr;
    if ((result.status = TrimLabels(program)) != C_OK || (result.status = EncodeProgram(program, &encoded)) != C_OK)
        return result;
    std::unique_ptr<EncodedProgram> ownedEncoded(encoded);
    SinkStreamSet set;
    SinkStream serialised;
    if ((result.status = WriteEncodedProgram(encoded, &set)) != C_OK)
        return result;
    if (!set.CopyTo(&serialised)) {
        result.status = C_STREAM_ERROR;
        return result;
    }
    result.serialised.assign(serialised.Buffer(), serialised.Buffer() + serialised.Length());

    SourceStreamSet source;
    if (!source.Init(serialised.Buffer(), serialised.Length())) {
        result.status = C_STREAM_ERROR;
        return result;
    }
    EncodedProgram* read = nullptr;
    if ((result.status = ReadEncodedProgram(&source, &read)) != C_OK)
        return result;
    std::unique_ptr<EncodedProgram> ownedRead(read);
    SinkStream output;
    if ((result.status = Assemble(read, &output)) != C_OK)
        return result;
    result.assembled.assign(output.Buffer(), output.Buffer() + output.Length());

    // Re-serialising what was read must give the same bytes.
    SinkStreamSet again;
    SinkStream againBytes;
    EXPECT_EQ(WriteEncodedProgram(read, &again), C_OK);
    EXPECT_TRUE(again.CopyTo(&againBytes));
    EXPECT_EQ(ByteVector(againBytes.Buffer(), againBytes.Buffer() + againBytes.Length()), result.serialised);
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
    EXPECT_GT(pe->rel32_locations().size(), 0u);
    EXPECT_GT(program.rel32_labels().size(), 0u);
    EXPECT_EQ(program.abs32_labels().empty(), abs32.empty());

    const RoundTrip trip = roundTrip(bytes);
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
