// SPDX-License-Identifier: LGPL-2.1-or-later
// Sanitizer defaults compiled into every test program: suppressions for uninstrumented GLib and
// GStreamer internals only, never for the library's own code.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)

extern "C" {

#if defined(__SANITIZE_ADDRESS__)
// Full stacks on every allocation, so that load-time allocations can be told apart by _dl_init.
const char* __asan_default_options() {
    return "fast_unwind_on_malloc=0:detect_stack_use_after_return=1";
}

// Suppressed leaks are not listed at exit: a death test's child would otherwise end its output
// with the list whenever a plug-in happened to load there.
const char* __lsan_default_options() {
    return "fast_unwind_on_malloc=0:print_suppressions=0";
}

// GLib's library constructors and GStreamer's plug-in loading allocate once and never free.
const char* __lsan_default_suppressions() {
    return "leak:_dl_init\n";
}
#endif

#if defined(__SANITIZE_THREAD__)
const char* __tsan_default_options() {
    return "halt_on_error=1:second_deadlock_stack=1";
}

// GLib locks with raw futexes that ThreadSanitizer cannot see, so every hand-over between
// GStreamer's threads looks like a race. Reports with a frame in these libraries are dropped.
const char* __tsan_default_suppressions() {
    return "race:libglib-2.0.so\n"
           "race:libgobject-2.0.so\n"
           "race:libgstreamer-1.0.so\n"
           "race:libgstbase-1.0.so\n"
           "race:libgstvideo-1.0.so\n"
           "race:/gstreamer-1.0/\n"
           // A camera library some GStreamer plug-ins link locks and unlocks across threads
           // while GStreamer scans it.
           "mutex:libOpenNI2.so\n"
           "race:libOpenNI2.so\n"
           // A mapping counts as a write of its range, yet System V attachments (shmat) are not
           // seen: a segment attached where another thread once mapped a file looks raced.
           "race:mmap\n";
}
#endif

} // extern "C"

#endif
