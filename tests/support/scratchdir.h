// Plain (Qt-free) helpers for the patcher and logging tests: a temporary directory removed
// afterwards, whole-file reads and writes, and shell commands for outside tools.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

using ByteVector = std::vector<uint8_t>;

class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& path() const { return m_Path; }
    std::string file(const std::string& name) const { return m_Path + "/" + name; }

private:
    std::string m_Path;
};

// Both fail the calling test loudly (ADD_FAILURE) when the file cannot be read or written.
ByteVector readBytes(const std::string& path);
void writeBytes(const std::string& path, const ByteVector& bytes);

// Runs `/bin/sh -c commandLine`; returns its exit status, or -1 when it did not exit normally.
int runShell(const std::string& commandLine);
// The path of a program on PATH; fails the calling test when the tool is missing.
std::string requireTool(const std::string& name);

// Deterministic pseudo-random bytes.
ByteVector randomBytes(std::size_t size, uint32_t seed);
