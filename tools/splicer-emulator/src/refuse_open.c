/* Preloaded into a program under test: opening a USB device node fails with
 * EACCES, as it does for a user whom no udev rule gives access (root, who
 * runs the tests, is never refused by file modes). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <string.h>

static int Refused(const char* path) { return path != NULL && strncmp(path, "/dev/bus/usb/", 13) == 0; }

#define OPEN_WRAPPER(name)                                                         \
  int name(const char* path, int flags, ...) {                                     \
    static int (*real)(const char*, int, ...) = NULL;                              \
    va_list args;                                                                  \
    mode_t mode = 0;                                                               \
    va_start(args, flags);                                                         \
    if (flags & (O_CREAT | O_TMPFILE)) mode = va_arg(args, mode_t);                \
    va_end(args);                                                                  \
    if (Refused(path)) {                                                           \
      errno = EACCES;                                                              \
      return -1;                                                                   \
    }                                                                              \
    if (real == NULL) real = (int (*)(const char*, int, ...))dlsym(RTLD_NEXT, #name); \
    return real(path, flags, mode);                                                \
  }

OPEN_WRAPPER(open)
OPEN_WRAPPER(open64)

/* What _FORTIFY_SOURCE turns open() into when the flags are not constant. */
int __open_2(const char* path, int flags) {
  static int (*real)(const char*, int) = NULL;
  if (Refused(path)) {
    errno = EACCES;
    return -1;
  }
  if (real == NULL) real = (int (*)(const char*, int))dlsym(RTLD_NEXT, "__open_2");
  return real(path, flags);
}
