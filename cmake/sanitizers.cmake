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
