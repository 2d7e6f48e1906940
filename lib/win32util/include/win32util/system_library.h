// Loading a Windows DLL that is not imported but looked up at run time.
#pragma once

#include <windows.h>

namespace win32util {

// Loads file (e.g. L"winusb.dll") from the system folder by its full path:
// a bare name would let a DLL of that name in the program's folder or the
// current directory win. Null (with GetLastError) when it is not there.
HMODULE LoadSystemLibrary(const wchar_t* file);

}  // namespace win32util
