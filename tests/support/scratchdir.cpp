#include "scratchdir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <sys/wait.h>

ScratchDir::ScratchDir()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/vltest_XXXXXX";
    if (!mkdtemp(pattern.data()))
        ADD_FAILURE() << "cannot create a temporary directory from " << pattern;
    m_Path = pattern;
}

ScratchDir::~ScratchDir()
{
    if (m_Path.find("/vltest_") != std::string::npos)
        runShell("rm -rf '" + m_Path + "'");
}

ByteVector readBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        ADD_FAILURE() << "cannot read " << path;
        return {};
    }
    return ByteVector(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeBytes(const std::string& path, const ByteVector& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush())
        ADD_FAILURE() << "cannot write " << path;
}

int runShell(const std::string& commandLine)
{
    const int status = std::system(commandLine.c_str());
    if (status == -1 || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

std::string requireTool(const std::string& name)
{
    if (runShell("command -v '" + name + "' > /dev/null") != 0)
        ADD_FAILURE() << "required tool '" << name << "' is not installed (tools/install-deps --tests installs it)";
    return name;
}

ByteVector randomBytes(std::size_t size, uint32_t seed)
{
    std::mt19937 generator(seed);
    ByteVector bytes(size);
    for (auto& b : bytes)
        b = static_cast<uint8_t>(generator());
    return bytes;
}
