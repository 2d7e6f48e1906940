// Checks that count what failed and let the run go on, and the failure that
// ends a run. Every failed check prints "FAILED file:line: ..." and is counted.
#pragma once

#include <functional>
#include <string>

namespace automation {

// What Fail throws: the run cannot go on.
struct Fatal {
  std::string what;
};
[[noreturn]] void Fail(const std::string& what);

// Says "ok:   what" when `ok`, else counts a failure. Returns `ok`. `file`
// and `line` are those of the call.
bool Check(bool ok, const std::string& what, const char* file = __builtin_FILE(),
           int line = __builtin_LINE());
// The same, silent when `ok`.
bool Expect(bool ok, const std::string& what, const char* file = __builtin_FILE(),
            int line = __builtin_LINE());
// Counts a failure, showing both texts, when they differ.
bool ExpectEqual(const std::string& actual, const std::string& expected, const std::string& what,
                 const char* file = __builtin_FILE(), int line = __builtin_LINE());
// A check the run cannot go on without: Fail when it does not hold.
void Require(bool ok, const std::string& what, const char* file = __builtin_FILE(),
             int line = __builtin_LINE());

// Runs `body`; a Fatal it throws is counted as one more failure.
void RunChecked(const std::function<void()>& body);
// Prints "<name>: passed" or "<name>: N check(s) failed"; the exit status, 0 or 1.
int Summary(const std::string& name);

}  // namespace automation

// The condition as written is what a failure prints.
#define CHECK(condition) ::automation::Expect((condition), #condition)
#define CHECK_EQ(actual, expected) ::automation::ExpectEqual((actual), (expected), #actual)
