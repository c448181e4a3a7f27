// A broad sample of this machine's x86-64 programs and libraries through the ELF disassembler
// and the whole element chain, checked against readelf like the handful in elffiles_test: every
// third ELF executable or shared object of at most 4 MiB in /usr/bin and
// /usr/lib/x86_64-linux-gnu, in name order, split into shards that ctest runs in parallel.
#include "elfview.h"

#include "executabletype.h"
#include "status.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <dirent.h>
#include <fstream>
#include <sys/stat.h>

using namespace vlpatch;

namespace {

constexpr int kShards = 8;
constexpr uint64_t kMaxSize = 4 << 20;

bool isX64Executable(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    unsigned char header[20] = {};
    if (!in.read(reinterpret_cast<char*>(header), sizeof header))
        return false;
    return std::equal(header, header + 4, "\x7F" "ELF") && header[4] == 2 && header[18] == 62 && header[19] == 0
        && (header[16] == 2 || header[16] == 3) && header[17] == 0;
}

std::vector<std::string> sample()
{
    std::vector<std::string> all;
    for (const std::string dir : {"/usr/bin/", "/usr/lib/x86_64-linux-gnu/"}) {
        DIR* listing = opendir(dir.c_str());
        if (!listing)
            continue;
        std::vector<std::string> names;
        while (dirent* entry = readdir(listing))
            names.push_back(entry->d_name);
        closedir(listing);
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) {
            const std::string path = dir + name;
            struct stat info;
            if (lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || uint64_t(info.st_size) > kMaxSize)
                continue;
            if (isX64Executable(path))
                all.push_back(path);
        }
    }
    std::vector<std::string> chosen;
    for (std::size_t i = 0; i < all.size(); i += 3)
        chosen.push_back(all[i]);
    return chosen;
}

class ElfSample : public testing::TestWithParam<int> {};

} // namespace

TEST_P(ElfSample, AgreesWithReadelfAndReassembles)
{
    const std::vector<std::string> files = sample();
    ASSERT_GE(files.size(), 300u) << "fewer x86-64 programs and libraries than the sample needs";
    ScratchDir dir;
    for (std::size_t i = GetParam(); i < files.size(); i += kShards) {
        const std::string& path = files[i];
        const int status = checkElfFile(dir, path, EXE_ELF_64_X64);
        if (status == C_OK)
            continue;
        // Sites found in debug sections may map to RVAs without file data; without those
        // sections the file must go through.
        ASSERT_EQ(status, C_DISASSEMBLY_FAILED) << path;
        ASSERT_NE(readElfView(dir, path).section(".debug_info"), nullptr) << path << " failed without debug sections";
        const std::string stripped = dir.file("stripped");
        ASSERT_EQ(runShell(requireTool("objcopy") + " --strip-debug '" + path + "' '" + stripped + "'"), 0);
        EXPECT_EQ(checkElfFile(dir, stripped, EXE_ELF_64_X64), C_OK) << path;
    }
}

INSTANTIATE_TEST_SUITE_P(Shards, ElfSample, testing::Range(0, kShards));
