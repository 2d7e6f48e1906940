// Where LoadLibrary looks for DLLs loaded by bare name.
#pragma once

namespace win32util {

// From now on DLLs loaded by bare name come from the system folder only
// (SetDefaultDllDirectories with LOAD_LIBRARY_SEARCH_SYSTEM32, Windows 8 and
// Windows 7/Vista with KB2533623); where that is missing, at least the
// current directory leaves the search (SetDllDirectory ""). Both are looked
// up at run time, so the call loads on Windows XP. True when the search is
// the system folder only.
bool RestrictDllSearchToSystemFolder();

}  // namespace win32util
