// The patcher turns failed allocations into statuses; the tests provoke them with requests no
// heap can satisfy, which AddressSanitizer would otherwise report as errors. The diff writer's
// match search compares long ranges with memcmp that differ early: checking only up to the
// first difference keeps it linear under the sanitizer. A target may add options of its own
// through VL_ASAN_EXTRA_OPTIONS.
#ifndef VL_ASAN_EXTRA_OPTIONS
#define VL_ASAN_EXTRA_OPTIONS ""
#endif

extern "C" const char* __asan_default_options()
{
    return "allocator_may_return_null=1:strict_memcmp=0" VL_ASAN_EXTRA_OPTIONS;
}
