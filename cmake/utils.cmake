# Build helpers shared by every target of the project.

# One place for the warning flags of our own targets (third-party code is
# compiled without them).
function(navorel_set_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

function(navorel_enable_ccache)
    find_program(NAVOREL_CCACHE ccache)
    if(NAVOREL_CCACHE)
        set(CMAKE_CXX_COMPILER_LAUNCHER "${NAVOREL_CCACHE}" PARENT_SCOPE)
    endif()
endfunction()

# NAVOREL_SANITIZER: empty, "address" (ASan + UBSan) or "thread" (TSan).
set(NAVOREL_SANITIZER "" CACHE STRING "Sanitizer build: empty, address or thread")
macro(navorel_setup_sanitizers)
    if(NAVOREL_SANITIZER STREQUAL "address")
        add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
        add_link_options(-fsanitize=address,undefined)
    elseif(NAVOREL_SANITIZER STREQUAL "thread")
        # GCC warns that TSan does not model Asio's atomic_thread_fence; the
        # warning says nothing about our code.
        add_compile_options(-fsanitize=thread -fno-omit-frame-pointer -Wno-tsan)
        add_link_options(-fsanitize=thread)
    elseif(NOT NAVOREL_SANITIZER STREQUAL "")
        message(FATAL_ERROR "Unknown NAVOREL_SANITIZER '${NAVOREL_SANITIZER}'")
    endif()
endmacro()

# Boost (Asio, Beast) and nlohmann::json are header-only. The cross build sees
# only their two folders, never the rest of the host's /usr/include.
macro(navorel_setup_third_party)
    add_library(navorel_boost INTERFACE)
    add_library(navorel_json INTERFACE)
    if(CMAKE_CROSSCOMPILING)
        set(_sysdeps "${CMAKE_BINARY_DIR}/host-headers")
        file(MAKE_DIRECTORY "${_sysdeps}")
        foreach(_dir boost nlohmann)
            if(NOT EXISTS "${_sysdeps}/${_dir}")
                file(CREATE_LINK "/usr/include/${_dir}" "${_sysdeps}/${_dir}" SYMBOLIC)
            endif()
        endforeach()
        target_include_directories(navorel_boost SYSTEM INTERFACE "${_sysdeps}")
        target_include_directories(navorel_json SYSTEM INTERFACE "${_sysdeps}")
        target_link_libraries(navorel_boost INTERFACE ws2_32 mswsock)
    else()
        find_package(Boost 1.81 REQUIRED)
        find_package(nlohmann_json 3.11 REQUIRED)
        find_package(Threads REQUIRED)
        target_link_libraries(navorel_boost INTERFACE Boost::headers Threads::Threads)
        target_link_libraries(navorel_json INTERFACE nlohmann_json::nlohmann_json)
    endif()
    target_compile_definitions(navorel_boost INTERFACE BOOST_ASIO_NO_DEPRECATED BOOST_BEAST_USE_STD_STRING_VIEW)
endmacro()

# A library target of one subsystem with the project's flags.
function(navorel_add_library name)
    cmake_parse_arguments(ARG "" "" "SOURCES;PUBLIC_LIBS;PRIVATE_LIBS" ${ARGN})
    add_library(${name} STATIC ${ARG_SOURCES})
    target_include_directories(${name} PUBLIC "${PROJECT_SOURCE_DIR}/src")
    target_link_libraries(${name} PUBLIC ${ARG_PUBLIC_LIBS} PRIVATE ${ARG_PRIVATE_LIBS})
    navorel_set_warnings(${name})
endfunction()

# A GoogleTest executable registered with CTest as one test. Under the cross
# build CTest runs it through the Wine emulator.
function(navorel_add_test name)
    cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_include_directories(${name} PRIVATE "${PROJECT_SOURCE_DIR}/tests")
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gmock GTest::gtest_main)
    navorel_set_warnings(${name})
    add_test(NAME ${name} COMMAND ${name})
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 120)
    endif()
    set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT} LABELS "unit;${ARG_LABELS}")
endfunction()
