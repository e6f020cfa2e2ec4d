// The sanitizers' runtime options and suppressions, built into every program
// of a KESTOR_SANITIZE build (cmake/Sanitize.cmake). The runtimes ask for
// these at start; an ASAN_OPTIONS, UBSAN_OPTIONS, TSAN_OPTIONS or LSAN_OPTIONS
// in the environment still adds to them.

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

// The hub's HTTP library comes from the system, built without
// ThreadSanitizer: the sanitizer sees its calls of memcpy, memcmp and the like
// but not its own synchronisation (inline atomics, the fast path of its
// statics), so it reports races between the library's worker threads that it
// cannot judge. Only calls made from inside the library are ignored; the
// hub's handlers stay checked. Qt, from the system too, is in the same case:
// at exit its pooled thread may still wait on a condition that the main
// thread destroys, with the handover through Qt's own atomics; only races
// inside QWaitCondition, which calls no code of ours, are let pass, and the
// calls made from inside Qt Test, whose watchdog thread ends the same way.
KESTOR_SANITIZER_HOOK const char* __tsan_default_suppressions() {
    return "called_from_lib:libcpp-httplib.so\n"
           "race:QWaitCondition\n"
           "called_from_lib:libQt6Test.so\n";
}
