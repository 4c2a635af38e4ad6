# SPDX-License-Identifier: LGPL-2.1-or-later
# ZORVGST_SANITIZE=address,undefined | thread adds the sanitizer flags to every target.
if(ZORVGST_SANITIZE)
    if(ZORVGST_SANITIZE MATCHES "address" AND ZORVGST_SANITIZE MATCHES "thread")
        message(FATAL_ERROR "ZORVGST_SANITIZE: address and thread sanitizers cannot be combined")
    endif()
    set(_zorvgst_sanitize_flags -fsanitize=${ZORVGST_SANITIZE} -fno-omit-frame-pointer
                                -fno-sanitize-recover=all)
    add_compile_options(${_zorvgst_sanitize_flags})
    add_link_options(${_zorvgst_sanitize_flags})
    # The thread checker ignores fences and GCC warns where one is used; seqlock readers of
    # shared memory need them, and their cross-process races are out of the checker's sight.
    if(ZORVGST_SANITIZE MATCHES "thread" AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
        add_compile_options(-Wno-tsan)
    endif()
endif()

# Fuzz builds: coverage instrumentation everywhere; the fuzz targets add libFuzzer's main.
if(ZORVGST_BUILD_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
        message(FATAL_ERROR "ZORVGST_BUILD_FUZZ needs clang (CC=clang CXX=clang++)")
    endif()
    add_compile_options(-fsanitize=fuzzer-no-link)
endif()

# Uninstrumented programs that load an instrumented plug-in (gst-inspect-1.0, GStreamer's plug-in
# scanner) need the sanitizer runtime loaded first; test scripts preload this list for them.
set(ZORVGST_SANITIZER_PRELOAD "")
foreach(_zorvgst_runtime address:libasan.so thread:libtsan.so)
    string(REPLACE ":" ";" _zorvgst_pair ${_zorvgst_runtime})
    list(GET _zorvgst_pair 0 _zorvgst_sanitizer)
    list(GET _zorvgst_pair 1 _zorvgst_library)
    if(ZORVGST_SANITIZE MATCHES ${_zorvgst_sanitizer})
        execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${_zorvgst_library}
                        OUTPUT_VARIABLE _zorvgst_path OUTPUT_STRIP_TRAILING_WHITESPACE)
        set(ZORVGST_SANITIZER_PRELOAD "${_zorvgst_path} libstdc++.so.6")
    endif()
endforeach()
