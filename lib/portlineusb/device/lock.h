// A lock that Windows XP has: a critical section. (The C++ library's mutex
// brings in a threads runtime that needs newer Windows, and slim reader/writer
// locks start with Vista.)
#pragma once

#include <windows.h>

namespace portline {

class Lock {
 public:
  Lock() { InitializeCriticalSection(&section_); }
  ~Lock() { DeleteCriticalSection(&section_); }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

  void Enter() { EnterCriticalSection(&section_); }
  void Leave() { LeaveCriticalSection(&section_); }

 private:
  CRITICAL_SECTION section_;
};

class Held {
 public:
  explicit Held(Lock& lock) : lock_(lock) { lock_.Enter(); }
  ~Held() { lock_.Leave(); }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;

 private:
  Lock& lock_;
};

}  // namespace portline
