# ZORVGST_SANITIZE=address,undefined | thread adds the sanitizer flags to every target.
if(ZORVGST_SANITIZE)
    if(ZORVGST_SANITIZE MATCHES "address" AND ZORVGST_SANITIZE MATCHES "thread")
        message(FATAL_ERROR "ZORVGST_SANITIZE: address and thread sanitizers cannot be combined")
    endif()
    set(_zorvgst_sanitize_flags -fsanitize=${ZORVGST_SANITIZE} -fno-omit-frame-pointer
                                -fno-sanitize-recover=all)
    add_compile_options(${_zorvgst_sanitize_flags})
    add_link_options(${_zorvgst_sanitize_flags})
endif()

# Fuzz builds: coverage instrumentation everywhere; the fuzz targets add libFuzzer's main.
if(ZORVGST_BUILD_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
        message(FATAL_ERROR "ZORVGST_BUILD_FUZZ needs clang (CC=clang CXX=clang++)")
    endif()
    add_compile_options(-fsanitize=fuzzer-no-link)
endif()
