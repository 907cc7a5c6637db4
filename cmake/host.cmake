# Host build: the portable core with its unit tests under the sanitizers,
# the device simulator and the end-to-end tests that drive the Windows build.
enable_testing()
find_package(GTest REQUIRED)
include(GoogleTest)

set(SANITIZE_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)

function(target_sanitize target)
    target_compile_options(${target} PRIVATE ${SANITIZE_FLAGS})
    target_link_options(${target} PRIVATE ${SANITIZE_FLAGS})
endfunction()

add_library(installer_core STATIC ${CORE_SOURCES})
target_include_directories(installer_core PUBLIC ${CMAKE_SOURCE_DIR}/installer)
target_sanitize(installer_core)

file(GLOB UNIT_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/unit/*.cpp)
add_executable(unit_tests ${UNIT_TEST_SOURCES} tests/fake/fake_platform.cpp tests/fake/crc_reference.cpp)
target_include_directories(unit_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(unit_tests PRIVATE installer_core GTest::gtest_main)
target_sanitize(unit_tests)
# The start-up tests make the core's allocations fail through a wrapper.
target_link_options(unit_tests PRIVATE -Wl,--wrap=calloc)
gtest_discover_tests(unit_tests PROPERTIES LABELS unit TIMEOUT 60)

# The Windows build whose program the win32 and e2e tests examine and run.
set(WIN32_BUILD_DIR ${CMAKE_SOURCE_DIR}/build/win32 CACHE PATH
    "Build directory of the Windows program (installer.exe, uidriver.exe)")
# Where the check of scripts/release leaves the program it signed, which an
# end-to-end case then runs.
set(RELEASE_TEST_DIR ${CMAKE_BINARY_DIR}/release)

foreach(extra tools/bootsim tests/win32 tests/firmware tests/e2e tests/faults)
    if(EXISTS ${CMAKE_SOURCE_DIR}/${extra}/CMakeLists.txt)
        add_subdirectory(${extra})
    endif()
endforeach()

# Static analysis of the program's own code, as part of every test run.
find_program(CPPCHECK cppcheck REQUIRED)
add_test(NAME cppcheck
    COMMAND ${CPPCHECK} --enable=warning,style,performance,portability --error-exitcode=1
            --inline-suppr --std=c++17 --language=c++ -q -I ${CMAKE_SOURCE_DIR}/installer
            ${CMAKE_SOURCE_DIR}/installer)
set_tests_properties(cppcheck PROPERTIES LABELS lint)

# A short fuzzing run of the sequencer, and a fixed number of inputs for the
# reply check, which covers all it can within a second; scripts/fuzz runs
# them as long as asked.
add_test(NAME fuzz_sequencer COMMAND ${CMAKE_SOURCE_DIR}/scripts/fuzz --seconds 15 sequencer
         WORKING_DIRECTORY ${CMAKE_SOURCE_DIR})
add_test(NAME fuzz_frames COMMAND ${CMAKE_SOURCE_DIR}/scripts/fuzz --runs 200000 frames
         WORKING_DIRECTORY ${CMAKE_SOURCE_DIR})
# Both build in build/fuzz, so one at a time.
set_tests_properties(fuzz_sequencer fuzz_frames PROPERTIES LABELS fuzz TIMEOUT 180 RESOURCE_LOCK fuzz_build)
