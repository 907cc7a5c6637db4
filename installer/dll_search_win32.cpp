// The program's defence against DLLs planted beside it. Technicians start
// installer.exe from wherever it was downloaded, and Windows looks in the
// program's own folder first for a DLL that is not one of its known DLLs.
#include <windows.h>

#include "dll_search.h"
#include "system_function.h"

// The load configuration: Windows 10 1607 and later read its
// DependentLoadFlags (named Reserved1 in these headers) when they load the
// DLLs that the program's imported DLLs bring in, before any code of the
// program runs. The linker does not point the PE header at this structure;
// tools/pe_load_config.py does that after the link, from the link map.
// Nothing refers to it: it gets into the program with this file's function.
// No security cookie and no safe exception handler table: the program has
// neither (zero means absent to the loader).
extern "C" const IMAGE_LOAD_CONFIG_DIRECTORY32 _load_config_used;
extern "C" const IMAGE_LOAD_CONFIG_DIRECTORY32 _load_config_used = {
    sizeof(IMAGE_LOAD_CONFIG_DIRECTORY32), // Size, through SEHandlerCount
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    LOAD_LIBRARY_SEARCH_SYSTEM32, // DependentLoadFlags
    0, 0, 0, 0,
};

namespace {

typedef BOOL(WINAPI *set_default_dll_directories_fn)(DWORD flags);

} // namespace

void dll_search_restrict()
{
    // SetDefaultDllDirectories came with Windows 8 and to Vista and 7 with
    // an update; the program must still start where it is missing.
    set_default_dll_directories_fn set_default_dll_directories =
        system_function<set_default_dll_directories_fn>("kernel32.dll", "SetDefaultDllDirectories");
    if (set_default_dll_directories != NULL && set_default_dll_directories(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        return;
    }
    // Without it, at least take the current directory out of the search.
    SetDllDirectoryA("");
}
