// Where the program lets Windows look for the DLLs it loads after start.
#pragma once

// Restricts the search for DLLs loaded from now on to System32, so that a
// DLL of a system name lying beside installer.exe (a Downloads folder holds
// anything) is never loaded into the program. Call first thing in WinMain.
void dll_search_restrict();
