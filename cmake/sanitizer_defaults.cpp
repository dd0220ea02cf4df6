// Default options of the sanitizer runtimes, linked into every executable of
// a sanitized build.  A report aborts (SIGABRT) rather than exiting with a
// code the program could return itself, so a test that runs the host binary
// as a subprocess sees a signal, not an exit status it might expect.

extern "C" const char *__asan_default_options()
{
    return "halt_on_error=1:abort_on_error=1:detect_leaks=1:check_initialization_order=1:"
           "strict_init_order=1:detect_stack_use_after_return=1";
}

extern "C" const char *__ubsan_default_options()
{
    return "halt_on_error=1:abort_on_error=1:print_stacktrace=1";
}
