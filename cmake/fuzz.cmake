# The libFuzzer build (NAVOREL_FUZZ): clang only, Linux only. Every library is
# compiled with the fuzzer's coverage hooks and ASan + UBSan; the fuzz targets
# in tests/fuzz link the fuzzer's driver.
macro(navorel_setup_fuzzing)
    if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
        message(FATAL_ERROR "NAVOREL_FUZZ needs clang (-DCMAKE_CXX_COMPILER=clang++)")
    endif()
    if(NOT NAVOREL_SANITIZER STREQUAL "")
        message(FATAL_ERROR "NAVOREL_FUZZ brings its own sanitizers; leave NAVOREL_SANITIZER empty")
    endif()
    add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
        -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
endmacro()
