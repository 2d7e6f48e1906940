// The only file of the kernel model that talks to Win32 itself.
#include "PageGuard.h"

#include <windows.h>

namespace kmodel {
namespace {

GuardFaultHandler g_handler = nullptr;

LONG CALLBACK OnException(EXCEPTION_POINTERS* info) {
  const EXCEPTION_RECORD* record = info->ExceptionRecord;
  if (record->ExceptionCode != EXCEPTION_ACCESS_VIOLATION || record->NumberParameters < 2 ||
      g_handler == nullptr) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  void* address = reinterpret_cast<void*>(record->ExceptionInformation[1]);
  return g_handler(address) ? EXCEPTION_CONTINUE_EXECUTION : EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

void InstallGuardFaultHandler(GuardFaultHandler handler) {
  if (g_handler == nullptr) {
    AddVectoredExceptionHandler(1, OnException);
  }
  g_handler = handler;
}

void* AllocateGuardedBlock(std::size_t size) {
  return VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void FreeGuardedBlock(void* block) {
  VirtualFree(block, 0, MEM_RELEASE);
}

void SetGuardedBlockAccess(void* block, std::size_t size, bool accessible) {
  DWORD old = 0;
  VirtualProtect(block, size, accessible ? PAGE_READWRITE : PAGE_NOACCESS, &old);
}

}  // namespace kmodel
