#include "win32util/system_library.h"

#include <cwchar>
#include <iterator>

namespace win32util {

HMODULE LoadSystemLibrary(const wchar_t* file) {
  wchar_t path[MAX_PATH + 1] = {};
  const UINT length = GetSystemDirectoryW(path, MAX_PATH);
  const std::size_t fileLength = std::wcslen(file);
  if (length == 0 || length + 1 + fileLength + 1 > std::size(path)) return nullptr;
  path[length] = L'\\';
  std::wmemcpy(path + length + 1, file, fileLength + 1);
  return LoadLibraryW(path);
}

}  // namespace win32util
