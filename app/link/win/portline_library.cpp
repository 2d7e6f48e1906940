#include "portline_library.h"

#include <utility>

#include "win32util/run_time_error.h"

namespace seamlog::link {
namespace {

constexpr int kErrorInLoadingDll = 48;
constexpr int kFileNotFound = 53;
constexpr int kEntryPointNotFound = 453;

// Whether a file of that name is where LoadLibrary looks (the program's
// folder, the system folders, the current folder, PATH), or at that path.
bool LibraryFileExists(const std::string& fileName) {
  char found[MAX_PATH] = {};
  const DWORD length = SearchPathA(nullptr, fileName.c_str(), nullptr, MAX_PATH, found, nullptr);
  if (length == 0 || length >= MAX_PATH) return false;
  const DWORD attributes = GetFileAttributesA(found);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

template <typename Fn>
Fn As(FARPROC address) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(address));
}

}  // namespace

void EndWithRunTimeError(const std::string& message, int errorNumber) {
  win32util::ShowRunTimeError(errorNumber, message);
}

PortlineLibrary::PortlineLibrary(std::string fileName, FatalErrorHandler onFatal)
    : fileName_(std::move(fileName)), onFatal_(onFatal) {}

FARPROC PortlineLibrary::Resolve(FARPROC& cache, const char* name) {
  if (cache != nullptr) return cache;
  if (!module_) {
    module_.Reset(LoadLibraryA(fileName_.c_str()));
    if (!module_) {
      // A file that is there but will not load (another bitness, a missing
      // import, not a DLL at all) is a different fault from no file.
      if (LibraryFileExists(fileName_))
        onFatal_("Error in loading DLL", kErrorInLoadingDll);
      else
        onFatal_("File not found: " + fileName_, kFileNotFound);
      return nullptr;
    }
  }
  cache = GetProcAddress(module_.get(), name);
  if (cache == nullptr)
    onFatal_("Can't find DLL entry point " + std::string(name) + " in " + fileName_, kEntryPointNotFound);
  return cache;
}

std::int32_t PortlineLibrary::CreateDevice(std::int32_t& handle, std::int32_t& extra1, std::int32_t& extra2) {
  const FARPROC fn = Resolve(create_, "PortlineUsbCreateDevice");
  if (fn == nullptr) return -1;
  return As<PortlineUsbCreateDeviceFn>(fn)(&handle, &extra1, &extra2);
}

std::int32_t PortlineLibrary::ReadFile(std::int32_t& handle, std::uint8_t* buffer) {
  const FARPROC fn = Resolve(read_, "PortlineUsbReadFile");
  if (fn == nullptr) return kDeviceFailure;
  return As<PortlineUsbReadFileFn>(fn)(&handle, buffer);
}

std::int32_t PortlineLibrary::WriteFile(std::int32_t& handle, std::uint8_t* bytes, std::int32_t& count) {
  const FARPROC fn = Resolve(write_, "PortlineUsbWriteFile");
  if (fn == nullptr) return kDeviceFailure;
  return As<PortlineUsbWriteFileFn>(fn)(&handle, bytes, &count);
}

std::int32_t PortlineLibrary::CloseDevice(std::int32_t& handle) {
  const FARPROC fn = Resolve(close_, "PortlineUsbCloseDevice");
  if (fn == nullptr) return -1;
  return As<PortlineUsbCloseDeviceFn>(fn)(&handle);
}

}  // namespace seamlog::link
