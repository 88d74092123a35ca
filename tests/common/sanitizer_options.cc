// Linked into every test program: hostile inputs are expected to make large
// allocations fail cleanly, not abort the sanitized process.
extern "C" const char* __asan_default_options()
{
    return "allocator_may_return_null=1:detect_leaks=1";
}

extern "C" const char* __ubsan_default_options()
{
    return "print_stacktrace=1:halt_on_error=1";
}
