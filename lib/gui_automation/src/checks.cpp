#include "gui_automation/checks.h"

#include <cstdio>

namespace automation {

namespace {
int failures = 0;

void Failed(const std::string& what, const std::source_location& at) {
  std::printf("FAILED %s:%u: %s\n", at.file_name(), static_cast<unsigned>(at.line()), what.c_str());
  std::fflush(stdout);
  ++failures;
}
}  // namespace

void Fail(const std::string& what) { throw Fatal{what}; }

bool Check(bool ok, const std::string& what, std::source_location at) {
  if (!ok) {
    Failed(what, at);
    return false;
  }
  std::printf("ok:   %s\n", what.c_str());
  std::fflush(stdout);
  return true;
}

bool Expect(bool ok, const std::string& what, std::source_location at) {
  if (!ok) Failed(what, at);
  return ok;
}

bool ExpectEqual(const std::string& actual, const std::string& expected, const std::string& what,
                 std::source_location at) {
  if (actual == expected) return true;
  Failed(what + "\n  actual:   \"" + actual + "\"\n  expected: \"" + expected + "\"", at);
  return false;
}

void Require(bool ok, const std::string& what, std::source_location at) {
  if (!Check(ok, what, at)) Fail("cannot go on");
}

int Failures() { return failures; }

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
