#include "automation.h"

#include <dlgs.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "control_ids.h"
#include "win32util/handles.h"

namespace e2e {

void Fail(const std::string& what) { throw Fatal{what}; }

std::string WindowsPath(const std::string& path) {
  if (path.empty() || path[0] != '/') return path;
  std::string out = "Z:" + path;
  for (char& c : out)
    if (c == '/') c = '\\';
  return out;
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool WriteWholeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
  return static_cast<bool>(out);
}

bool FileExists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void MakeDirectories(const std::string& path) {
  for (std::size_t at = path.find_first_of("\\/", 3); ; at = path.find_first_of("\\/", at + 1)) {
    CreateDirectoryA(path.substr(0, at).c_str(), nullptr);
    if (at == std::string::npos) break;
  }
}

std::string Text(HWND window) {
  static char buffer[1 << 20];
  DWORD_PTR copied = 0;
  if (!SendMessageTimeoutA(window, WM_GETTEXT, sizeof buffer, reinterpret_cast<LPARAM>(buffer), SMTO_ABORTIFHUNG,
                           10000, &copied))
    return "<no answer>";
  return std::string(buffer, copied);
}

void SetText(HWND window, const std::string& text) {
  DWORD_PTR ignored = 0;
  SendMessageTimeoutA(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), SMTO_ABORTIFHUNG, 10000,
                      &ignored);
}

void Click(HWND dialog, int id) {
  PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

bool Visible(HWND window) { return window != nullptr && (GetWindowLongA(window, GWL_STYLE) & WS_VISIBLE) != 0; }

bool WaitFor(const std::function<bool()>& condition, DWORD milliseconds, DWORD step) {
  const ULONGLONG until = GetTickCount64() + milliseconds;
  while (GetTickCount64() < until) {
    if (condition()) return true;
    Sleep(step);
  }
  return condition();
}

Program::~Program() {
  if (process_.hProcess == nullptr) return;
  if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(process_.hProcess, 99);
  CloseHandle(process_.hProcess);
  CloseHandle(process_.hThread);
}

void Program::Start(const std::string& workingDirectory) {
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
  const Program* program;
  HWND found = nullptr;
};
}  // namespace

// Enumeration callbacks: stdcall on 32-bit Windows, so named functions.
static BOOL CALLBACK MatchWindow(HWND window, LPARAM param) {
  auto* s = reinterpret_cast<Search*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if (pid != s->pid || !IsWindowVisible(window)) return TRUE;
  char name[256] = {};
  GetClassNameA(window, name, sizeof name);
  if (s->className != name) return TRUE;
  if (!s->title.empty() && Text(window) != s->title) return TRUE;
  if (!s->saying.empty() && s->program->DialogText(window).find(s->saying) == std::string::npos) return TRUE;
  s->found = window;
  return FALSE;
}

static BOOL CALLBACK CollectStaticText(HWND child, LPARAM param) {
  char name[64] = {};
  GetClassNameA(child, name, sizeof name);
  if (lstrcmpiA(name, "Static") == 0) *reinterpret_cast<std::string*>(param) += Text(child) + "\n";
  return TRUE;
}

HWND Program::FindWindowOf(const std::string& className, const std::string& title) const {
  Search search{process_.dwProcessId, className, title, "", this};
  EnumWindows(&MatchWindow, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND Program::RequireWindow(const std::string& className, const std::string& title, DWORD ms) const {
  HWND found = nullptr;
  WaitFor([&] { return (found = FindWindowOf(className, title)) != nullptr; }, ms);
  if (found == nullptr) Fail("no window " + className + " \"" + title + "\" appeared");
  return found;
}

std::string Program::DialogText(HWND dialog) const {
  std::string all;
  EnumChildWindows(dialog, &CollectStaticText, reinterpret_cast<LPARAM>(&all));
  return all;
}

HWND Program::FindDialogSaying(const std::string& text) const {
  Search search{process_.dwProcessId, "#32770", "", text, this};
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

bool Screenshot(const std::string& path) {
  const int width = GetSystemMetrics(SM_CXSCREEN);
  const int height = GetSystemMetrics(SM_CYSCREEN);
  win32util::ClientDC screenDc;
  const HDC screen = screenDc.get();
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  bool ok = false;
  if (bitmap != nullptr) {
    {
      win32util::SelectedObject selected(memory, bitmap);
      BitBlt(memory, 0, 0, width, height, screen, 0, 0, SRCCOPY);
      GdiFlush();
    }
    const DWORD row = static_cast<DWORD>((width * 3 + 3) & ~3);
    const DWORD image = row * static_cast<DWORD>(height);
    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof info.bmiHeader;
    file.bfSize = file.bfOffBits + image;
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(&file), sizeof file);
    out.write(reinterpret_cast<const char*>(&info.bmiHeader), sizeof info.bmiHeader);
    out.write(static_cast<const char*>(bits), image);
    ok = static_cast<bool>(out);
    DeleteObject(bitmap);
  }
  DeleteDC(memory);
  return ok;
}

int RunProcess(const std::string& commandLine, DWORD milliseconds) {
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  std::string command = commandLine;
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
    return -1;
  const win32util::KernelHandle ownedProcess(process.hProcess), ownedThread(process.hThread);
  WaitForSingleObject(process.hProcess, milliseconds);
  DWORD code = 1;
  GetExitCodeProcess(process.hProcess, &code);
  return static_cast<int>(code);
}

HWND StartWithOfferedModel(Program& program) {
  program.Start("C:\\");
  HWND dialog = program.RequireWindow(seamlog::shell::ids::kSelectModelDialogClass, "", 90000);
  Click(dialog, IDOK);
  return program.RequireWindow(seamlog::shell::ids::kMainFormClass);
}

HWND FillSaveAsDialog(const Program& program, HWND main, const std::string& path, DWORD milliseconds) {
  Click(main, seamlog::shell::ids::kCmdSaveAsCmd);
  HWND dialog = program.RequireWindow("#32770", "Write File", milliseconds);
  HWND name = GetDlgItem(dialog, cmb13);
  if (name == nullptr) name = GetDlgItem(dialog, edt1);
  if (name == nullptr) Fail("the Save dialog has no file name field");
  SetText(name, path);
  return dialog;
}

bool ExitSeamlog(const Program& program, HWND main, DWORD milliseconds) {
  Click(main, seamlog::shell::ids::kEndCommand);
  return WaitFor(
      [&] {
        if (HWND ask = program.FindDialogSaying("Exit anyway?")) Click(ask, IDYES);
        return !program.Running();
      },
      milliseconds);
}

namespace {

std::string ProcFile(const std::string& pid, const char* name) {
  return ReadWholeFile("Z:\\proc\\" + pid + "\\" + name);
}

}  // namespace

std::string FindLinuxProcess(const std::string& needle, const std::string& environment) {
  WIN32_FIND_DATAA entry;
  HANDLE search = FindFirstFileA("Z:\\proc\\*", &entry);
  if (search == INVALID_HANDLE_VALUE) return "";
  std::string found;
  do {
    const std::string pid = entry.cFileName;
    if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string cmdline = ProcFile(pid, "cmdline");
    std::replace(cmdline.begin(), cmdline.end(), '\0', ' ');
    if (cmdline.find(needle) == std::string::npos) continue;
    if (!environment.empty() && ProcFile(pid, "environ").find(environment) == std::string::npos) continue;
    found = pid;
  } while (found.empty() && FindNextFileA(search, &entry));
  FindClose(search);
  return found;
}

// Clock ticks of 1/100 s.
double CpuSeconds(const std::string& pid) {
  if (pid.empty()) return 0;
  const std::string stat = ProcFile(pid, "stat");
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::vector<std::string> fields;
  std::size_t at = close + 2;
  while (at < stat.size()) {
    const std::size_t end = stat.find(' ', at);
    fields.push_back(stat.substr(at, end - at));
    if (end == std::string::npos) break;
    at = end + 1;
  }
  if (fields.size() < 13) return 0;
  return (std::stod(fields[11]) + std::stod(fields[12])) / 100.0;  // utime, stime
}

}  // namespace e2e
