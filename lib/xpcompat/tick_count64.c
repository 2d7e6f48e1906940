/* GetTickCount64 for images that must load on Windows XP (32-bit only).
 *
 * Code that calls a function of kernel32 through its import goes through the
 * pointer __imp__GetTickCount64@0. Defining that pointer here keeps the
 * linker from taking it from kernel32's import library, so the image no
 * longer names GetTickCount64 in its import table. The pointer leads to
 * TickCount64, which calls the system's GetTickCount64 where kernel32 has it
 * (Vista and later) and otherwise counts milliseconds from the performance
 * counter, which XP has and which never wraps. */
#include <windows.h>

typedef ULONGLONG(WINAPI *TickCount64Fn)(void);

static ULONGLONG WINAPI TickCountFromPerformanceCounter(void) {
  LARGE_INTEGER frequency, now;
  if (!QueryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0 || !QueryPerformanceCounter(&now))
    return GetTickCount();
  const ULONGLONG f = (ULONGLONG)frequency.QuadPart, c = (ULONGLONG)now.QuadPart;
  return c / f * 1000u + c % f * 1000u / f;
}

static ULONGLONG WINAPI TickCount64(void) {
  /* Looked up once; two threads racing here store the same value. */
  static TickCount64Fn volatile resolved = 0;
  TickCount64Fn fn = resolved;
  if (fn == 0) {
    HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    FARPROC found = kernel32 != 0 ? GetProcAddress(kernel32, "GetTickCount64") : 0;
    fn = found != 0 ? (TickCount64Fn)(void *)found : TickCountFromPerformanceCounter;
    resolved = fn;
  }
  return fn();
}

TickCount64Fn xp_compat_tick_count64_import __asm__("__imp__GetTickCount64@0") = TickCount64;
