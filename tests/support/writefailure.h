// For tests of failed writes: a file size limit that stops writes half-way, the way a full disk
// does but also for root, calls that a failing disk fails, and the names a failed write may have
// left in a directory.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <dirent.h>
#include <dlfcn.h>
#include <string>
#include <sys/resource.h>
#include <vector>

// Writes past the given size fail with EFBIG while the limit lives.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        m_SavedHandler = std::signal(SIGXFSZ, SIG_IGN);
        EXPECT_EQ(getrlimit(RLIMIT_FSIZE, &m_Saved), 0);
        rlimit limit = m_Saved;
        limit.rlim_cur = bytes;
        EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &m_Saved);
        std::signal(SIGXFSZ, m_SavedHandler);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit m_Saved{};
    void (*m_SavedHandler)(int) = nullptr;
};

// While it lives, the shim preloaded from failshim.c makes `call` ("fsync" or "close") fail with
// EIO on the files whose path contains `path`; both texts must outlive it. Without the shim it
// fails the test.
class FailingCall {
public:
    FailingCall(const char* call, const char* path) : m_Choose(shimChoice())
    {
        EXPECT_NE(m_Choose, nullptr) << "the process runs without the preloaded fail shim";
        if (m_Choose)
            m_Choose(call, path);
    }
    ~FailingCall()
    {
        if (m_Choose)
            m_Choose(nullptr, nullptr);
    }
    FailingCall(const FailingCall&) = delete;
    FailingCall& operator=(const FailingCall&) = delete;

private:
    using Choose = void (*)(const char* call, const char* path);
    static Choose shimChoice()
    {
        return reinterpret_cast<Choose>(dlsym(RTLD_DEFAULT, "vl_fail_shim_choose"));
    }

    Choose m_Choose;
};

// The sorted names in the directory, without "." and "..".
inline std::vector<std::string> namesIn(const std::string& directory)
{
    std::vector<std::string> names;
    if (DIR* listing = opendir(directory.c_str())) {
        while (dirent* entry = readdir(listing)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..")
                names.push_back(name);
        }
        closedir(listing);
    }
    std::sort(names.begin(), names.end());
    return names;
}
