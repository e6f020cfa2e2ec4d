// The sanitizers' runtime options, built into every program of a
// KESTOR_SANITIZE build (cmake/Sanitize.cmake). The runtimes ask for these at
// start; an ASAN_OPTIONS, UBSAN_OPTIONS, TSAN_OPTIONS or LSAN_OPTIONS in the
// environment still adds to them.

#define KESTOR_SANITIZER_HOOK extern "C" __attribute__((visibility("default"), used))

// Stop at the first report, and look for the use of a returned stack frame
// and for static objects used before they were made.
KESTOR_SANITIZER_HOOK const char* __asan_default_options() {
    return "halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:"
           "check_initialization_order=1:strict_init_order=1";
}

KESTOR_SANITIZER_HOOK const char* __ubsan_default_options() {
    return "halt_on_error=1:print_stacktrace=1";
}

KESTOR_SANITIZER_HOOK const char* __tsan_default_options() {
    return "halt_on_error=1:second_deadlock_stack=1";
}
