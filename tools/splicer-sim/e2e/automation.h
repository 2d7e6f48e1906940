// Operating Seamlog from outside, as an operator would: start it, find its
// windows, read and set their text, press buttons, photograph the screen.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace e2e {

struct Fatal {
  std::string what;
};
[[noreturn]] void Fail(const std::string& what);

// A Linux path ("/work/x") as Wine's Z: drive path; other paths unchanged.
std::string WindowsPath(const std::string& path);

std::string ReadWholeFile(const std::string& path);
bool WriteWholeFile(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);
// Creates a folder and any missing parents.
void MakeDirectories(const std::string& path);

// Wine does not account CPU time per Windows process, so CPU times come from
// the Linux side: /proc, seen through Wine's Z: drive.
// The Linux process whose command line contains `needle` (and whose
// environment contains `environment`, when given); its pid, or empty.
std::string FindLinuxProcess(const std::string& needle, const std::string& environment = "");
// User and system time of a Linux process, in seconds; 0 when it is not found.
double CpuSeconds(const std::string& pid);

// Runs a command line to its end (at most `milliseconds`); its exit code, or -1
// when it could not be started.
int RunProcess(const std::string& commandLine, DWORD milliseconds);

std::string Text(HWND window);
void SetText(HWND window, const std::string& text);
// Presses a dialog button by posting its command, so a modal loop it opens
// does not hold up the caller.
void Click(HWND dialog, int id);
bool Visible(HWND window);

bool WaitFor(const std::function<bool()>& condition, DWORD milliseconds = 10000, DWORD step = 20);

class Program {
 public:
  explicit Program(std::string exe) : exe_(std::move(exe)) {}
  ~Program();
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  void Start(const std::string& workingDirectory);
  // Top-level window of this process with the class (and title, when given).
  HWND FindWindowOf(const std::string& className, const std::string& title = "") const;
  HWND RequireWindow(const std::string& className, const std::string& title = "", DWORD ms = 15000) const;
  // A message box or other dialog of the process whose text contains `text`.
  HWND FindDialogSaying(const std::string& text) const;
  std::string DialogText(HWND dialog) const;
  // Exit code, or -1 when the program did not end in time.
  int WaitForExit(DWORD milliseconds);
  bool Running() const;
  HANDLE Process() const { return process_.hProcess; }

 private:
  std::string exe_;
  PROCESS_INFORMATION process_{};
};

// Starts Seamlog in C:\ and accepts the model dialog as it stands (the first
// program started in a fresh Wine prefix can take a while); its main window.
HWND StartWithOfferedModel(Program& program);

// Presses Save As in Seamlog's main window and types `path` into the file name
// field of the "Write File" dialog that opens; that dialog, not yet confirmed.
HWND FillSaveAsDialog(const Program& program, HWND main, const std::string& path, DWORD milliseconds = 15000);

// Presses Exit in Seamlog's main window, answers "Exit anyway?" with Yes, and
// waits up to `milliseconds` for the program to end; true when it ended.
bool ExitSeamlog(const Program& program, HWND main, DWORD milliseconds);

// Saves the whole screen as a 24-bit BMP file.
bool Screenshot(const std::string& path);

}  // namespace e2e
