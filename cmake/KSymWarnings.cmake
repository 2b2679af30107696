# Warnings are errors in every module, tool and test of the project.
function(ksym_warnings target)
    if(MSVC)
        target_compile_options(${target} PRIVATE /W4 /WX)
    else()
        target_compile_options(${target} PRIVATE -Wall -Wextra -Werror -Wshadow -Wconversion
                                                 -Wno-sign-conversion)
    endif()
endfunction()
