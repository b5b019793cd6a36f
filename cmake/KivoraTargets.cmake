# Helpers shared by every folder: warnings, library layout and tests.

# Warnings and the project's code-generation rules for one target.
function(kivora_target_defaults target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
        # GCC 12 reports false -Wrestrict overlaps inside std::string's operator+ (GCC bug 105329).
        target_compile_options(${target} PRIVATE -Wno-restrict)
    endif()
    if(KIVORA_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()

# kivora_add_library(<name> EXPORT_DEFINE <macro> SOURCES ... [DEPENDS ...])
#
# Builds <name>_objects (an object library that tests link directly, so they can
# reach internal classes) and the shared library <name> made from those objects.
# Public headers live in <folder>/include/<name>/ and are installed with the
# library; internal ones stay in <folder>/src/.
function(kivora_add_library name)
    cmake_parse_arguments(ARG "" "EXPORT_DEFINE" "SOURCES;DEPENDS;PRIVATE_DEPENDS" ${ARGN})
    add_library(${name}_objects OBJECT ${ARG_SOURCES})
    # src/ is public on the object library only: tests and fuzz targets reach
    # the internal headers, users of the shared library do not.
    target_include_directories(${name}_objects
        PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/include ${CMAKE_CURRENT_SOURCE_DIR}/src)
    target_compile_definitions(${name}_objects PRIVATE ${ARG_EXPORT_DEFINE})
    target_link_libraries(${name}_objects PUBLIC ${ARG_DEPENDS} PRIVATE ${ARG_PRIVATE_DEPENDS})
    kivora_target_defaults(${name}_objects)

    add_library(${name} SHARED $<TARGET_OBJECTS:${name}_objects>)
    target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/include)
    target_link_libraries(${name} PUBLIC ${ARG_DEPENDS} PRIVATE ${ARG_PRIVATE_DEPENDS})
    set_target_properties(${name} PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
    install(TARGETS ${name} LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
    install(DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
endfunction()

# kivora_add_test(<name> SOURCES ... LIBRARIES ... [LABELS ...] [PROPERTIES ...])
# A GoogleTest executable whose cases CTest discovers one by one. The label
# "library" marks suites that the sanitizer build runs. PROPERTIES are further
# CTest properties of every case (name value ...).
function(kivora_add_test name)
    if(NOT KIVORA_BUILD_TESTS)
        return()
    endif()
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBRARIES;LABELS;PROPERTIES" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES} GTest::gtest GTest::gmock GTest::gtest_main)
    target_compile_definitions(${name} PRIVATE
        KIVORA_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
        KIVORA_TEST_DATA_DIR="${CMAKE_CURRENT_SOURCE_DIR}/tests/data")
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/testsupport)
    kivora_target_defaults(${name})
    gtest_discover_tests(${name}
        DISCOVERY_TIMEOUT 60
        PROPERTIES LABELS "${ARG_LABELS}" ${ARG_PROPERTIES})
endfunction()

# kivora_add_fuzzer(<name> SOURCES ... LIBRARIES ...)
# A libFuzzer target; only built with -DKIVORA_BUILD_FUZZERS=ON under clang.
# Its seed corpus is fuzz/corpus/<name>/.
function(kivora_add_fuzzer name)
    if(NOT KIVORA_BUILD_FUZZERS)
        return()
    endif()
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBRARIES" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES})
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    kivora_target_defaults(${name})
    set_property(GLOBAL APPEND PROPERTY KIVORA_FUZZERS ${name})
endfunction()

# kivora_watch_realtime(<test>): the test watches its real-time path through
# testsupport/RealtimeScope.h: under the real-time sanitizer's runtime when
# this machine has it (Debian libclang-rt-19-dev) and no other sanitizer owns
# malloc; otherwise it counts allocations itself, unless a sanitizer is in.
function(kivora_watch_realtime target)
    if(NOT TARGET ${target})
        return()
    endif()
    target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/testsupport/RealtimeScope.cpp)
    file(GLOB rtsanCandidates /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.rtsan-x86_64.a)
    if(rtsanCandidates AND NOT KIVORA_SANITIZE AND NOT KIVORA_THREAD_SANITIZER
       AND CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
        list(GET rtsanCandidates -1 rtsanRuntime)
        target_compile_definitions(${target} PRIVATE KIVORA_HAVE_RTSAN=1)
        target_link_options(${target} PRIVATE
            -Wl,--whole-archive ${rtsanRuntime} -Wl,--no-whole-archive -Wl,--export-dynamic)
        target_link_libraries(${target} PRIVATE pthread dl rt m)
    elseif(KIVORA_THREAD_SANITIZER OR KIVORA_SANITIZE)
        # Their runtimes define every operator new; a replacement of some of
        # them mismatches the others.
        target_compile_definitions(${target} PRIVATE KIVORA_SANITIZER_OWNS_NEW=1)
    endif()
endfunction()
