#include "private_profile.h"

#include <windows.h>

#include <vector>

namespace seamlog::shell {

std::string PrivateProfileStore::ReadIniString(const std::string& filePath, const std::string& section,
                                               const std::string& key) {
  char buffer[1024] = {};
  GetPrivateProfileStringA(section.c_str(), key.c_str(), "", buffer, sizeof buffer, filePath.c_str());
  return std::string(buffer);
}

void PrivateProfileStore::WriteIniString(const std::string& filePath, const std::string& section,
                                         const std::string& key, const std::string& value) {
  WritePrivateProfileStringA(section.c_str(), key.c_str(), value.c_str(), filePath.c_str());
}

std::wstring ProgramDirectoryWide() {
  std::vector<wchar_t> path(MAX_PATH);
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return L".\\";
    if (length < path.size()) {
      std::wstring file(path.data(), length);
      const auto slash = file.rfind(L'\\');
      return slash == std::wstring::npos ? std::wstring(L".\\") : file.substr(0, slash + 1);
    }
    path.resize(path.size() * 2);
  }
}

namespace {

// The ANSI form of a wide text; `lossless` says whether every character had one.
std::string ToAnsi(const std::wstring& text, bool* lossless) {
  if (GetACP() == CP_UTF8) {  // every character has a form in UTF-8
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(size > 0 ? static_cast<std::size_t>(size - 1) : 0, '\0');
    if (size > 1) WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), size, nullptr, nullptr);
    *lossless = size > 0;
    return out;
  }
  BOOL usedDefault = FALSE;
  const int size =
      WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.c_str(), -1, nullptr, 0, nullptr, &usedDefault);
  std::string out(size > 0 ? static_cast<std::size_t>(size - 1) : 0, '\0');
  if (size > 1)
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.c_str(), -1, out.data(), size, nullptr,
                        &usedDefault);
  *lossless = size > 0 && usedDefault == FALSE;
  return out;
}

}  // namespace

std::string AnsiPathFor(const std::wstring& path) {
  bool lossless = false;
  std::string ansi = ToAnsi(path, &lossless);
  if (lossless) return ansi;
  const DWORD size = GetShortPathNameW(path.c_str(), nullptr, 0);
  if (size == 0) return {};
  std::vector<wchar_t> shortPath(size);
  const DWORD length = GetShortPathNameW(path.c_str(), shortPath.data(), size);
  if (length == 0 || length >= size) return {};
  ansi = ToAnsi(std::wstring(shortPath.data(), length), &lossless);
  return lossless ? ansi : std::string();
}

std::string ProgramDirectory() {
  const std::wstring directory = ProgramDirectoryWide();
  std::string ansi = AnsiPathFor(directory);
  if (ansi.empty()) {
    bool lossless = false;
    ansi = ToAnsi(directory, &lossless);
  }
  return AsAppDirectory(ansi.empty() ? std::string(".") : ansi);
}

}  // namespace seamlog::shell
