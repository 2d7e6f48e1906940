// A program started and watched from outside: its process, its windows.
#pragma once

#include <windows.h>

#include <string>

namespace automation {

// Runs a command line to its end (at most `milliseconds`); its exit code, or -1
// when it could not be started.
int RunProcess(const std::string& commandLine, DWORD milliseconds);

class Program {
 public:
  explicit Program(std::string exe) : exe_(std::move(exe)) {}
  // Ends the program if it still runs.
  ~Program();
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  const std::string& Exe() const { return exe_; }
  // Starts the program in `workingDirectory`; one that has ended may be
  // started again.
  void Start(const std::string& workingDirectory = "C:\\");
  // Ends the program if it still runs (exit code 99) and waits for it.
  void End();

  // A visible top-level window of the program with this class (and title, when given).
  HWND FindWindowOf(const std::string& className, const std::string& title = "") const;
  // The same, waited for; nullptr when none came or the program ended first.
  HWND WaitForWindow(const std::string& className, const std::string& title = "",
                     DWORD milliseconds = 15000) const;
  // The same; Fail when none came.
  HWND RequireWindow(const std::string& className, const std::string& title = "",
                     DWORD milliseconds = 15000) const;
  // A message box or other dialog of the program whose text contains `text`.
  HWND FindDialogSaying(const std::string& text) const;

  // Exit code, or -1 when the program did not end in time.
  int WaitForExit(DWORD milliseconds = 10000);
  bool Running() const;
  HANDLE Process() const { return process_.hProcess; }

 private:
  void LetGo();

  std::string exe_;
  PROCESS_INFORMATION process_{};
};

}  // namespace automation
