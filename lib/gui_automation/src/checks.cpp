#include "gui_automation/checks.h"

#include <cstdio>

namespace automation {

namespace {
int failures = 0;

void Failed(const std::string& what, const char* file, int line) {
  std::printf("FAILED %s:%d: %s\n", file, line, what.c_str());
  std::fflush(stdout);
  ++failures;
}
}  // namespace

void Fail(const std::string& what) { throw Fatal{what}; }

bool Check(bool ok, const std::string& what, const char* file, int line) {
  if (!ok) {
    Failed(what, file, line);
    return false;
  }
  std::printf("ok:   %s\n", what.c_str());
  std::fflush(stdout);
  return true;
}

bool Expect(bool ok, const std::string& what, const char* file, int line) {
  if (!ok) Failed(what, file, line);
  return ok;
}

bool ExpectEqual(const std::string& actual, const std::string& expected, const std::string& what,
                 const char* file, int line) {
  if (actual == expected) return true;
  Failed(what + "\n  actual:   \"" + actual + "\"\n  expected: \"" + expected + "\"", file, line);
  return false;
}

void Require(bool ok, const std::string& what, const char* file, int line) {
  if (!Check(ok, what, file, line)) Fail("cannot go on");
}

void RunChecked(const std::function<void()>& body) {
  try {
    body();
  } catch (const Fatal& fatal) {
    std::printf("FAILED: %s\n", fatal.what.c_str());
    ++failures;
  }
}

int Summary(const std::string& name) {
  if (failures == 0)
    std::printf("%s: passed\n", name.c_str());
  else
    std::printf("%s: %d check(s) failed\n", name.c_str(), failures);
  return failures == 0 ? 0 : 1;
}

}  // namespace automation
