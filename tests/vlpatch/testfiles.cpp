#include "testfiles.h"

#include <gtest/gtest.h>

#include <unistd.h>

// Two small glibc libraries per architecture stand in for two releases of one library.
const char* const kElf64Old = "/usr/lib/x86_64-linux-gnu/libdl.so.2";
const char* const kElf64New = "/usr/lib/x86_64-linux-gnu/libutil.so.1";
// A library of a few megabytes, for what only shows beyond the first megabyte.
const char* const kElf64Large = "/usr/lib/x86_64-linux-gnu/libstdc++.so.6";
const char* const kElf32Old = "/usr/lib32/libdl.so.2";
const char* const kElf32New = "/usr/lib32/libutil.so.1";
const char* const kElfArm = "/usr/arm-linux-gnueabihf/lib/libdl.so.2";
const char* const kPe32Old = "/usr/lib/gcc/i686-w64-mingw32/12-win32/libssp-0.dll";
const char* const kPe32New = "/usr/lib/gcc/i686-w64-mingw32/12-win32/libatomic-1.dll";
const char* const kPe64Old = "/usr/lib/gcc/x86_64-w64-mingw32/12-win32/libssp-0.dll";
const char* const kPe64New = "/usr/lib/gcc/x86_64-w64-mingw32/12-win32/libatomic-1.dll";

ByteVector installedFile(const std::string& path)
{
    if (::access(path.c_str(), R_OK) != 0) {
        ADD_FAILURE() << path << " is missing: run tools/install-deps --tests";
        return {};
    }
    return readBytes(path);
}

ByteVector strippedDll(const ScratchDir& dir, const std::string& path)
{
    if (installedFile(path).empty())
        return {};
    const std::string stripped = dir.file("stripped-" + std::to_string(std::hash<std::string>()(path)));
    EXPECT_EQ(runShell(requireTool("strip") + " -o '" + stripped + "' '" + path + "'"), 0);
    return readBytes(stripped);
}

ByteVector goMachO(const std::string& name)
{
    const std::string base64 = "/usr/share/go-1.19/src/debug/macho/testdata/" + name + ".base64";
    if (installedFile(base64).empty())
        return {};
    ScratchDir dir;
    EXPECT_EQ(runShell("base64 -d '" + base64 + "' > '" + dir.file(name) + "'"), 0);
    return readBytes(dir.file(name));
}
