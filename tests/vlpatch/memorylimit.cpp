// Holds the whole test process to VL_MEMORY_LIMIT_MIB, so that an input which makes a reader use
// far more memory than its size fails the test instead of passing slowly. Under AddressSanitizer,
// whose shadow memory no address-space limit can hold, the target sets the sanitizer's own RSS
// limit to the same figure instead (VL_ASAN_EXTRA_OPTIONS).
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <sys/resource.h>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VL_UNDER_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define VL_UNDER_ASAN 1
#endif

namespace {

class MemoryLimit : public testing::Environment {
public:
    void SetUp() override
    {
#ifndef VL_UNDER_ASAN
        const rlim_t bytes = rlim_t(VL_MEMORY_LIMIT_MIB) << 20;
        const rlimit limit{bytes, bytes};
        ASSERT_EQ(setrlimit(RLIMIT_AS, &limit), 0) << std::strerror(errno);
#endif
    }
};

} // namespace

testing::Environment* const memoryLimit = testing::AddGlobalTestEnvironment(new MemoryLimit);
