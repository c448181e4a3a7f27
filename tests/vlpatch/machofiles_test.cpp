// The Mach-O disassembler against real Mach-O files (Go's debug/macho test data from Debian, and
// an image linked here with clang and ld64.lld), with llvm-objdump as the independent reader.
#include "assemblyprogram.h"
#include "disassembler.h"
#include "disassemblermacho.h"
#include "executablechain.h"
#include "status.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>

using namespace vlpatch;

namespace {

const std::string kGoTestData = "/usr/share/go-1.19/src/debug/macho/testdata/";

std::string goSample(const ScratchDir& dir, const std::string& name)
{
    const std::string out = dir.file(name);
    EXPECT_EQ(runShell("base64 -d '" + kGoTestData + name + ".base64' > '" + out + "'"), 0)
        << kGoTestData << " is missing: run tools/install-deps --tests";
    return out;
}

// What llvm-objdump reports, reduced to what the disassembler uses.
struct MachoView {
    bool is64 = false;
    std::string cpu;
    std::string fileType;
    struct Segment {
        uint64_t vmaddr, vmsize, fileoff, filesize, nsects;
    };
    struct Section {
        uint64_t addr, size, offset;
        bool code;
    };
    std::vector<Segment> segments;
    std::vector<Section> sections;
    std::set<uint64_t> branchOperands; // addresses of the rel32 operands objdump decodes
};

MachoView readMachoView(const ScratchDir& dir, const std::string& path)
{
    MachoView view;
    const std::string objdump = requireTool("llvm-objdump");
    const std::string headers = commandOutput(dir, objdump + " --macho --private-headers '" + path + "'");
    std::istringstream lines(headers);
    std::string line;
    std::smatch m;
    const std::regex mainHeader("^\\s*(MH_MAGIC|MH_MAGIC_64)\\s+(\\S+)\\s+\\S+\\s+\\S+\\s+(\\S+)");
    const std::regex field("^\\s*(\\w+) (.*)$");
    std::map<std::string, std::string> fields;
    std::string block;
    auto flush = [&]() {
        auto number = [&](const char* key) { return std::stoull(fields[key], nullptr, 0); };
        if (block == "segment") {
            view.segments.push_back({number("vmaddr"), number("vmsize"), number("fileoff"), number("filesize"),
                                     number("nsects")});
        } else if (block == "section") {
            view.sections.push_back({number("addr"), number("size"), number("offset"),
                                     fields["type"] == "S_REGULAR"
                                         && fields["attributes"].find("PURE_INSTRUCTIONS") != std::string::npos});
        }
        fields.clear();
        block.clear();
    };
    while (std::getline(lines, line)) {
        if (std::regex_search(line, m, mainHeader)) {
            view.is64 = m[1].str() == "MH_MAGIC_64";
            view.cpu = m[2].str();
            view.fileType = m[3].str();
        } else if (line.rfind("Load command", 0) == 0 || line == "Section") {
            flush();
            block = line == "Section" ? "section" : "command";
        } else if (std::regex_match(line, m, field)) {
            std::string value = m[2].str();
            value.erase(0, value.find_first_not_of(' '));
            fields[m[1].str()] = value;
            if (m[1].str() == "cmd" && (value == "LC_SEGMENT" || value == "LC_SEGMENT_64"))
                block = "segment";
        }
    }
    flush();

    const std::string code = commandOutput(dir, objdump + " --macho -d '" + path + "'");
    std::istringstream disassembly(code);
    const std::regex insn("^\\s*([0-9a-f]+):\\s+([0-9a-f]{2}(?: [0-9a-f]{2})*)");
    while (std::getline(disassembly, line)) {
        if (!std::regex_search(line, m, insn))
            continue;
        const uint64_t address = std::stoull(m[1].str(), nullptr, 16);
        std::istringstream byteText(m[2].str());
        std::vector<unsigned> b;
        unsigned value;
        while (byteText >> std::hex >> value)
            b.push_back(value);
        if (b.size() == 5 && (b[0] == 0xE8 || b[0] == 0xE9))
            view.branchOperands.insert(address + 1);
        else if (b.size() == 6 && b[0] == 0x0F && (b[1] & 0xF0) == 0x80 && b[1] != 0x8A && b[1] != 0x8B)
            view.branchOperands.insert(address + 2);
        else if (view.is64 && b.size() == 6 && b[0] == 0xFF && (b[1] == 0x15 || b[1] == 0x25))
            view.branchOperands.insert(address + 2);
        else if (view.is64 && b.size() == 7 && (b[0] & 0xFE) == 0x48 && (b[1] == 0x8D || b[1] == 0x8B)
                 && (b[2] & 0xC7) == 0x05)
            view.branchOperands.insert(address + 3);
    }
    return view;
}

void checkMachoFile(const ScratchDir& dir, const std::string& path, ExecutableType type)
{
    SCOPED_TRACE(path);
    const ByteVector bytes = readBytes(path);
    ASSERT_FALSE(bytes.empty());
    const MachoView view = readMachoView(dir, path);
    ASSERT_EQ(view.is64, type == EXE_MACHO_X64);
    ASSERT_EQ(view.cpu, view.is64 ? "X86_64" : "I386");

    // 64-bit segments without sections are not recorded.
    uint64_t extent = 0;
    uint64_t base = UINT64_MAX;
    for (const MachoView::Segment& s : view.segments) {
        if (view.is64 && s.nsects == 0)
            continue;
        extent = std::max(extent, s.fileoff + s.filesize);
        base = std::min(base, s.vmaddr);
    }
    ExecutableType detected;
    std::size_t length;
    ASSERT_EQ(DetectExecutableType(bytes.data(), bytes.size(), &detected, &length), C_OK);
    EXPECT_EQ(detected, type);
    EXPECT_EQ(length, std::min<uint64_t>(extent, bytes.size()));

    std::unique_ptr<Disassembler> disassembler = DetectDisassembler(bytes.data(), bytes.size());
    ASSERT_TRUE(disassembler);
    auto* macho = static_cast<DisassemblerMacho*>(disassembler.get());
    std::vector<uint64_t> codeOffsets;
    for (const MachoView::Section& s : view.sections) {
        if (s.code)
            codeOffsets.push_back(s.offset);
    }
    ASSERT_EQ(macho->code_sections().size(), codeOffsets.size());
    std::sort(codeOffsets.begin(), codeOffsets.end());
    for (std::size_t i = 0; i < codeOffsets.size(); ++i)
        EXPECT_EQ(macho->code_sections()[i].offset, codeOffsets[i]);

    AssemblyProgram program(type);
    ASSERT_TRUE(macho->Disassemble(&program));
    const auto& sites = macho->rel32_locations();
    const std::set<uint32_t> found(sites.data(), sites.data() + sites.size());
    ASSERT_FALSE(view.branchOperands.empty());
    for (uint64_t operand : view.branchOperands)
        EXPECT_EQ(found.count(static_cast<uint32_t>(operand - base)), 1u) << std::hex << operand;

    const ChainResult chain = runChain(bytes);
    ASSERT_EQ(chain.status, C_OK);
    EXPECT_EQ(chain.assembled, ByteVector(bytes.begin(), bytes.begin() + length));
}

} // namespace

TEST(MachoFiles, GoTestDataAgreesWithObjdumpAndReassembles)
{
    ScratchDir dir;
    checkMachoFile(dir, goSample(dir, "gcc-386-darwin-exec"), EXE_MACHO_X86);
    checkMachoFile(dir, goSample(dir, "clang-386-darwin-exec-with-rpath"), EXE_MACHO_X86);
    checkMachoFile(dir, goSample(dir, "gcc-amd64-darwin-exec"), EXE_MACHO_X64);
    checkMachoFile(dir, goSample(dir, "clang-amd64-darwin-exec-with-rpath"), EXE_MACHO_X64);
}

TEST(MachoFiles, RefusedKinds)
{
    ScratchDir dir;
    // Universal files, objects and dSYM companions are no thin executables.
    for (const char* name : {"fat-gcc-386-amd64-darwin-exec", "clang-386-darwin.obj", "clang-amd64-darwin.obj",
                             "gcc-amd64-darwin-exec-debug"}) {
        SCOPED_TRACE(name);
        const ByteVector bytes = readBytes(goSample(dir, name));
        ASSERT_FALSE(bytes.empty());
        DisassemblerMacho macho(bytes.data(), bytes.size());
        EXPECT_FALSE(macho.ParseHeader());
        EXPECT_STREQ(macho.failure_reason(), std::string(name).rfind("fat", 0) == 0 ? "Unknown magic type"
                                                                                   : "Unsupported filetype in header");
        ExecutableType type;
        std::size_t length;
        EXPECT_EQ(DetectExecutableType(bytes.data(), bytes.size(), &type, &length), C_INPUT_NOT_RECOGNIZED);
    }
}

TEST(MachoFiles, LinkedHereWithLld)
{
    ScratchDir dir;
    const std::string source = dir.file("calls.c");
    const std::string text = "static int table[4];\n"
                             "int g(int);\n"
                             "int f(int x) { return x > 3 ? g(x - 1) + table[x & 3] : x; }\n"
                             "int g(int x) { table[x & 3] += x; return f(x) * 2; }\n"
                             "int main(void) { return f(7) + g(2); }\n";
    writeBytes(source, ByteVector(text.begin(), text.end()));
    const std::string object = dir.file("calls.o");
    const std::string image = dir.file("calls");
    ASSERT_EQ(runShell(requireTool("clang") + " -target x86_64-apple-macos11 -O1 -fno-inline -c '" + source + "' -o '"
                       + object + "'"),
              0);
    ASSERT_EQ(runShell(requireTool("ld64.lld-14") + " -arch x86_64 -platform_version macos 11.0 11.0 -e _main -o '"
                       + image + "' '" + object + "'"),
              0);
    checkMachoFile(dir, image, EXE_MACHO_X64);
}
