/* Preloaded into a program under test: opening a USB device node fails with
 * EACCES, as it does for a user whom no udev rule gives access (root, who
 * runs the tests, is never refused by file modes). The C library's own names
 * are wrapped, so they keep their spelling. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <string.h>

typedef int (*OpenCall)(const char*, int, ...);

static int Refused(const char* path) { return path != NULL && strncmp(path, "/dev/bus/usb/", 13) == 0; }

static int Open(const char* name, const char* path, int flags, mode_t mode) {
  if (Refused(path)) {
    errno = EACCES;
    return -1;
  }
  OpenCall next = (OpenCall)dlsym(RTLD_NEXT, name);
  return next(path, flags, mode);
}

static mode_t ModeOf(int flags, va_list args) {
  return (flags & (O_CREAT | O_TMPFILE)) ? va_arg(args, mode_t) : 0;
}

int open(const char* path, int flags, ...) {  // NOLINT(readability-identifier-naming)
  va_list args;
  va_start(args, flags);
  const mode_t mode = ModeOf(flags, args);
  va_end(args);
  return Open("open", path, flags, mode);
}

int open64(const char* path, int flags, ...) {  // NOLINT(readability-identifier-naming)
  va_list args;
  va_start(args, flags);
  const mode_t mode = ModeOf(flags, args);
  va_end(args);
  return Open("open64", path, flags, mode);
}

/* What _FORTIFY_SOURCE makes of open() when the flags are not constant. */
int __open_2(const char* path, int flags) {  // NOLINT(readability-identifier-naming)
  return Open("__open_2", path, flags, 0);
}
