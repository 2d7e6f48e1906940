#include "gui_automation/program.h"

#include "gui_automation/checks.h"
#include "gui_automation/controls.h"
#include "win32util/handles.h"

namespace automation {

int RunProcess(const std::string& commandLine, DWORD milliseconds) {
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  std::string command = commandLine;
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process))
    return -1;
  const win32util::KernelHandle ownedProcess(process.hProcess), ownedThread(process.hThread);
  WaitForSingleObject(process.hProcess, milliseconds);
  DWORD code = 1;
  GetExitCodeProcess(process.hProcess, &code);
  return static_cast<int>(code);
}

Program::~Program() { End(); }

void Program::LetGo() {
  if (process_.hProcess == nullptr) return;
  CloseHandle(process_.hProcess);
  CloseHandle(process_.hThread);
  process_ = {};
}

void Program::End() {
  if (process_.hProcess == nullptr) return;
  if (Running()) TerminateProcess(process_.hProcess, 99);
  WaitForSingleObject(process_.hProcess, 10000);
  LetGo();
}

void Program::Start(const std::string& workingDirectory) {
  LetGo();
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  std::string command = "\"" + exe_ + "\"";
  if (!CreateProcessA(exe_.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      workingDirectory.c_str(), &startup, &process_))
    Fail("cannot start " + exe_ + " (error " + std::to_string(GetLastError()) + ")");
  WaitForInputIdle(process_.hProcess, 10000);
}

namespace {
struct Search {
  DWORD pid;
  std::string className, title, saying;
  HWND found = nullptr;
};
}  // namespace

// Enumeration callbacks are stdcall on 32-bit Windows, so named functions.
static BOOL CALLBACK MatchWindow(HWND window, LPARAM param) {
  auto* s = reinterpret_cast<Search*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if (pid != s->pid || !IsWindowVisible(window) || ClassOf(window) != s->className) return TRUE;
  if (!s->title.empty()) {
    char caption[256] = {};
    GetWindowTextA(window, caption, sizeof caption);
    if (s->title != caption) return TRUE;
  }
  if (!s->saying.empty() && DialogText(window).find(s->saying) == std::string::npos) return TRUE;
  s->found = window;
  return FALSE;
}

HWND Program::FindWindowOf(const std::string& className, const std::string& title) const {
  Search search{process_.dwProcessId, className, title, ""};
  EnumWindows(&MatchWindow, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND Program::WaitForWindow(const std::string& className, const std::string& title,
                            DWORD milliseconds) const {
  HWND found = nullptr;
  WaitFor([&] { return (found = FindWindowOf(className, title)) != nullptr || !Running(); }, milliseconds,
          50);
  return found;
}

HWND Program::RequireWindow(const std::string& className, const std::string& title,
                            DWORD milliseconds) const {
  HWND found = WaitForWindow(className, title, milliseconds);
  if (found == nullptr)
    Fail("no window " + className + (title.empty() ? "" : " \"" + title + "\"") + " appeared");
  return found;
}

HWND Program::FindDialogSaying(const std::string& text) const {
  Search search{process_.dwProcessId, "#32770", "", text};
  EnumWindows(&MatchWindow, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

int Program::WaitForExit(DWORD milliseconds) {
  if (WaitForSingleObject(process_.hProcess, milliseconds) != WAIT_OBJECT_0) return -1;
  DWORD code = 0;
  GetExitCodeProcess(process_.hProcess, &code);
  return static_cast<int>(code);
}

bool Program::Running() const { return WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT; }

}  // namespace automation
