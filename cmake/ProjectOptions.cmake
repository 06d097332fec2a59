# Warnings (as errors unless LULLSWITCH_WERROR is off) on project code, and the
# sanitizer build.
option(LULLSWITCH_WERROR "Treat compiler warnings as errors" ON)
if(LULLSWITCH_WERROR)
    set(LULLSWITCH_WERROR_FLAG -Werror)
endif()

function(lullswitch_project_options target)
    if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
        target_compile_options(${target} PRIVATE
            -Wall -Wextra -Wpedantic ${LULLSWITCH_WERROR_FLAG}
            -Wshadow -Wnon-virtual-dtor -Wold-style-cast -Wcast-align
            -Woverloaded-virtual -Wconversion -Wsign-conversion -Wnull-dereference
            -Wdouble-promotion -Wformat=2 -Wimplicit-fallthrough)
    endif()
endfunction()

if(LULLSWITCH_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
endif()

# Backends compile against C APIs whose macros cast in C style; keep the rest.
function(lullswitch_backend_options target)
    if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
        target_compile_options(${target} PRIVATE
            -Wall -Wextra -Wpedantic ${LULLSWITCH_WERROR_FLAG} -Wshadow -Wnon-virtual-dtor -Woverloaded-virtual
            -Wformat=2 -Wimplicit-fallthrough)
    endif()
endfunction()
