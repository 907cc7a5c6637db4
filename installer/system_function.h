// Functions that not every supported Windows has, looked up at run time so
// that the program still starts where one is missing.
#pragma once

#include <windows.h>

#include <string.h>

// The function name of module as a pointer of its own type, or null where the
// system lacks it. GetProcAddress gives every function the one type FARPROC;
// the address is copied into a pointer of the function's own type, since a
// cast between unrelated function types is one the compiler rightly flags.
template <typename call_type> call_type system_function(const char *module, const char *name)
{
    call_type call = NULL;
    FARPROC found = GetProcAddress(GetModuleHandleA(module), name);
    static_assert(sizeof call == sizeof found, "function pointers differ in size");
    if (found != NULL) {
        memcpy(&call, &found, sizeof call);
    }
    return call;
}
