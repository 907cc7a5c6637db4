# Fuzz build: the sequencer and the reply check under libFuzzer, from the same
# core sources as the program. scripts/fuzz configures it with clang:
#   cmake -S . -B build/fuzz -DCMAKE_CXX_COMPILER=clang++ -DINSTALLER_FUZZ=ON
set(FUZZ_FLAGS -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all
    -fsanitize-coverage-ignorelist=${CMAKE_SOURCE_DIR}/tests/fuzz/coverage_ignore.txt
    -fsanitize-ignorelist=${CMAKE_SOURCE_DIR}/tests/fuzz/coverage_ignore.txt)

foreach(target sequencer frames)
    add_executable(${target}_fuzz tests/fuzz/${target}_fuzz.cpp tests/fake/fake_platform.cpp
                   tests/fake/crc_reference.cpp ${CORE_SOURCES})
    target_include_directories(${target}_fuzz PRIVATE installer tests)
    target_compile_options(${target}_fuzz PRIVATE -g -O1 ${FUZZ_FLAGS})
    target_link_options(${target}_fuzz PRIVATE ${FUZZ_FLAGS})
endforeach()

