# Sanitizer builds instrument every target, libraries and tests alike.
if(KSYM_SANITIZE STREQUAL "address")
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                        -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
elseif(KSYM_SANITIZE STREQUAL "thread")
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
elseif(NOT KSYM_SANITIZE STREQUAL "")
    message(FATAL_ERROR "KSYM_SANITIZE must be address, thread or empty, not '${KSYM_SANITIZE}'")
endif()
