# Windows build: the one self-contained installer.exe, and the test driver.
# Static runtime, so that the program needs nothing but Windows's own DLLs.
add_compile_definitions(__USE_MINGW_ANSI_STDIO=1 WINVER=0x0A00 _WIN32_WINNT=0x0A00)
# No time stamp in the PE header: two builds of one commit are the same bytes.
add_link_options(-static -static-libgcc -static-libstdc++ -Wl,--no-insert-timestamp)

add_library(installer_core STATIC ${CORE_SOURCES})
target_include_directories(installer_core PUBLIC ${CMAKE_SOURCE_DIR}/installer)

foreach(extra installer tools/uidriver tests/bench tests/win32)
    if(EXISTS ${CMAKE_SOURCE_DIR}/${extra}/CMakeLists.txt)
        add_subdirectory(${extra})
    endif()
endforeach()
