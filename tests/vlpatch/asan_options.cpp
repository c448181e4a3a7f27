// The patcher turns failed allocations into statuses; the tests provoke them with requests no
// heap can satisfy, which AddressSanitizer would otherwise report as errors.
extern "C" const char* __asan_default_options()
{
    return "allocator_may_return_null=1";
}
