// The ELF disassemblers against real executables and libraries of four architectures from
// Debian, with readelf as the independent reader of their headers and relocations.
#include "elfview.h"

#include "assemblyprogram.h"
#include "disassembler.h"
#include "executabletype.h"
#include "status.h"

#include <gtest/gtest.h>

#include <dirent.h>

using namespace vlpatch;

namespace {

const std::string kArmhf = "/usr/arm-linux-gnueabihf/lib/";
const std::string kArmel = "/usr/arm-linux-gnueabi/lib/";

} // namespace

TEST(ElfFiles, X64AgreeWithReadelfAndReassemble)
{
    ScratchDir dir;
    for (const char* path : {"/usr/bin/ls", "/usr/bin/cmp", "/usr/lib/x86_64-linux-gnu/libz.so.1",
                             "/usr/lib/x86_64-linux-gnu/liblzma.so.5"}) {
        EXPECT_EQ(checkElfFile(dir, path, EXE_ELF_64_X64), C_OK);
        expectRel32SitesCoverObjdump(dir, path, readElfView(dir, path));
    }
}

// libsframe ships with its debug sections: sites found in them, at their section offsets taken
// as RVAs, are emitted where those RVAs lie in the code, with the debug bytes.
TEST(ElfFiles, X64DebugSectionSitesReplaceCodeBytes)
{
    ScratchDir dir;
    EXPECT_EQ(checkElfFile(dir, "/usr/lib/x86_64-linux-gnu/libsframe.so.0.0.0", EXE_ELF_64_X64), C_OK);
}

// In libubsan such a site's RVA lies in a segment gap without file data, which fails the
// disassembly; without the debug sections the library goes through.
TEST(ElfFiles, X64DebugSectionSiteOutsideFileDataFails)
{
    ScratchDir dir;
    const std::string path = "/usr/lib/x86_64-linux-gnu/libubsan.so.1.0.0";
    const ElfView view = readElfView(dir, path);
    ASSERT_NE(view.section(".debug_info"), nullptr);
    const ByteVector bytes = readBytes(path);
    AssemblyProgram* program = nullptr;
    EXPECT_EQ(ParseDetectedExecutable(bytes.data(), bytes.size(), &program), C_DISASSEMBLY_FAILED);
    EXPECT_EQ(program, nullptr);

    const std::string stripped = dir.file("libubsan-stripped.so");
    ASSERT_EQ(runShell(requireTool("objcopy") + " --strip-debug '" + path + "' '" + stripped + "'"), 0);
    EXPECT_EQ(checkElfFile(dir, stripped, EXE_ELF_64_X64), C_OK);
}

TEST(ElfFiles, I386AgreeWithReadelfAndReassemble)
{
    ScratchDir dir;
    // libthread_db and the valgrind preloads carry R_386_RELATIVE relocations; libc uses RELR,
    // which gives no abs32 locations; the valgrind tools are static executables.
    for (const char* path : {"/usr/lib32/libc.so.6", "/usr/libexec/valgrind/lackey-x86-linux"})
        EXPECT_EQ(checkElfFile(dir, path, EXE_ELF_32_X86), C_OK);
    for (const char* path : {"/usr/lib32/libthread_db.so.1", "/usr/lib32/libgcc_s.so.1",
                             "/usr/libexec/valgrind/getoff-x86-linux",
                             "/usr/libexec/valgrind/vgpreload_memcheck-x86-linux.so"}) {
        EXPECT_EQ(checkElfFile(dir, path, EXE_ELF_32_X86), C_OK);
        expectRel32SitesCoverObjdump(dir, path, readElfView(dir, path));
    }
}

TEST(ElfFiles, ArmAgreeWithReadelfAndReassemble)
{
    ScratchDir dir;
    for (const std::string& lib : {kArmhf, kArmel}) {
        for (const char* name : {"libresolv.so.2", "libthread_db.so.1", "libanl.so.1", "libm.so.6"})
            EXPECT_EQ(checkElfFile(dir, lib + name, EXE_ELF_32_ARM), C_OK);
    }
    EXPECT_EQ(checkElfFile(dir, kArmhf + "ld-linux-armhf.so.3", EXE_ELF_32_ARM), C_OK);
    EXPECT_EQ(checkElfFile(dir, kArmel + "ld-linux.so.3", EXE_ELF_32_ARM), C_OK);
}

// libc's .rel.dyn starts with relative relocations of .tdata and of the .tbss range; the latter
// are no abs32 locations, so the run of matches breaks after the first entry, and the matched
// entry and the mismatching one are dropped from the output.
TEST(ElfFiles, ArmLibcDropsTheBrokenRunOfRelocations)
{
    ScratchDir dir;
    for (const std::string& lib : {kArmhf, kArmel}) {
        const ElfView view = readElfView(dir, lib + "libc.so.6");
        EXPECT_EQ(view.droppedArmRelocs(view.abs32(0x17)).size(), 1u);
        EXPECT_EQ(checkElfFile(dir, lib + "libc.so.6", EXE_ELF_32_ARM), C_OK);
    }
}

TEST(ElfFiles, X32IsRefused)
{
    ScratchDir dir;
    const std::string lib = "/usr/x86_64-linux-gnux32/lib/";
    std::size_t tried = 0;
    DIR* listing = opendir(lib.c_str());
    ASSERT_NE(listing, nullptr) << lib << " is missing: run tools/install-deps --tests";
    while (dirent* entry = readdir(listing)) {
        const std::string path = lib + entry->d_name;
        if (entry->d_name[0] == '.')
            continue;
        SCOPED_TRACE(path);
        const ElfView view = readElfView(dir, path);
        ASSERT_FALSE(view.elf64);
        ASSERT_EQ(view.machine, "Advanced Micro Devices X86-64");
        const ByteVector bytes = readBytes(path);
        ExecutableType type;
        std::size_t length;
        EXPECT_EQ(DetectExecutableType(bytes.data(), bytes.size(), &type, &length), C_INPUT_NOT_RECOGNIZED);
        AssemblyProgram* program = nullptr;
        EXPECT_EQ(ParseDetectedExecutable(bytes.data(), bytes.size(), &program), C_INPUT_NOT_RECOGNIZED);
        ++tried;
    }
    closedir(listing);
    EXPECT_GE(tried, 10u);
}
