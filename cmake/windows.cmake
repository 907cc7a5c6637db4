# Windows build: the one self-contained installer.exe, and the test driver.
# Static runtime, so that the program needs nothing but Windows's own DLLs.
add_compile_definitions(__USE_MINGW_ANSI_STDIO=1 WINVER=0x0A00 _WIN32_WINNT=0x0A00)
# No time stamp in the PE header: two builds of one commit are the same bytes.
add_link_options(-static -static-libgcc -static-libstdc++ -Wl,--no-insert-timestamp)

# An optimised build unless asked for another. Release optimises at -O2
# here, not -O3: the program waits on its serial line, never on its own code,
# and -O2 keeps the file small. The assertions stay on all the same (-UNDEBUG,
# CMakeLists.txt), so the build type's NDEBUG is left out too.
if(NOT CMAKE_BUILD_TYPE)
    set(CMAKE_BUILD_TYPE Release CACHE STRING "Debug, Release, RelWithDebInfo or MinSizeRel" FORCE)
endif()
set(CMAKE_C_FLAGS_RELEASE -O2)
set(CMAKE_CXX_FLAGS_RELEASE -O2)

# Hardening that Windows's own binary checkers look for. A canary in every
# function with a local array or a local whose address is taken, and the
# bounds-checked forms of memcpy, sprintf and the like where the compiler
# knows the buffer's size; their runtime (libssp) is linked in statically
# with the rest, since the stack protector is named at the link too.
add_compile_options(-fstack-protector-strong)
add_compile_definitions(_FORTIFY_SOURCE=2)
add_link_options(-fstack-protector-strong)
# The image registers no structured exception handlers (the runtime unwinds
# with DWARF tables), so it says so: Windows then refuses any handler that
# an attacker would plant on the stack and point into the image, which is
# what a SafeSEH table would otherwise guard against.
add_link_options(-Wl,--no-seh)

add_library(installer_core STATIC ${CORE_SOURCES})
target_include_directories(installer_core PUBLIC ${CMAKE_SOURCE_DIR}/installer)

foreach(extra installer tools/uidriver tests/bench tests/win32)
    if(EXISTS ${CMAKE_SOURCE_DIR}/${extra}/CMakeLists.txt)
        add_subdirectory(${extra})
    endif()
endforeach()
