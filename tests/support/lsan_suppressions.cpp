// Sanitizer settings for test programs that load GStreamer plug-ins: GLib's library constructors
// allocate once at load time and never free, which is not a leak of ours.
#if defined(__SANITIZE_ADDRESS__)

extern "C" {

// Full stacks on every allocation, so that load-time allocations can be told apart by _dl_init.
const char* __asan_default_options() {
    return "fast_unwind_on_malloc=0";
}

const char* __lsan_default_options() {
    return "fast_unwind_on_malloc=0";
}

const char* __lsan_default_suppressions() {
    return "leak:_dl_init\n";
}

} // extern "C"

#endif
