// Drives Seamlog's real windows from outside, as an operator would: finds
// them, clicks and types through window messages, reads message boxes and
// checks the files the program writes.
//
//   seamlog_gui_driver <case> <SeamlogTestHook.exe> [screenshot folder]
//
// Each case copies the program into a fresh temporary folder (so that its
// Benchkit.ini lands there), starts it and walks one path. The exit code is
// 0 when every check held, 1 otherwise, 77 when there is no display.
#include <windows.h>
#include <commctrl.h>
#include <dlgs.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "control_ids.h"

namespace ids = seamlog::shell::ids;

namespace {

int failures = 0;

#define CHECK(condition)                                                   \
  do {                                                                     \
    if (!(condition)) {                                                    \
      std::printf("FAILED %s:%d: %s\n", __FILE__, __LINE__, #condition);   \
      ++failures;                                                          \
    }                                                                      \
  } while (0)

#define CHECK_EQ(actual, expected)                                                        \
  do {                                                                                    \
    const std::string a_ = (actual), e_ = (expected);                                     \
    if (a_ != e_) {                                                                       \
      std::printf("FAILED %s:%d: %s\n  actual:   \"%s\"\n  expected: \"%s\"\n", __FILE__, \
                  __LINE__, #actual, a_.c_str(), e_.c_str());                             \
      ++failures;                                                                         \
    }                                                                                     \
  } while (0)

struct Fatal {
  std::string what;
};

[[noreturn]] void Fail(const std::string& what) { throw Fatal{what}; }

std::string Text(HWND window) {
  char buffer[70000] = {};
  DWORD_PTR copied = 0;
  if (!SendMessageTimeoutA(window, WM_GETTEXT, sizeof buffer, reinterpret_cast<LPARAM>(buffer),
                           SMTO_ABORTIFHUNG, 10000, &copied))
    return "<no answer>";
  return std::string(buffer, copied);
}

std::string ClassOf(HWND window) {
  char name[256] = {};
  GetClassNameA(window, name, sizeof name);
  return name;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Deletes a folder with everything in it; true when it is gone.
bool RemoveFolder(const std::string& folder) {
  WIN32_FIND_DATAA entry;
  HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &entry);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::string name = entry.cFileName;
      if (name == "." || name == "..") continue;
      const std::string path = folder + "\\" + name;
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        RemoveFolder(path);
      else
        DeleteFileA(path.c_str());
    } while (FindNextFileA(search, &entry));
    FindClose(search);
  }
  RemoveDirectoryA(folder.c_str());
  return GetFileAttributesA(folder.c_str()) == INVALID_FILE_ATTRIBUTES;
}

// Every folder a case made; each must be gone when the case ends.
std::vector<std::string> Folders;

// ---- the program under test -------------------------------------------------

class Program {
 public:
  Program(const std::string& exe, const std::string& caseName) {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    folder_ = std::string(temp) + "seamlog_gui_" + caseName + "_" + std::to_string(GetCurrentProcessId()) +
              "_" + std::to_string(GetTickCount64());
    CreateDirectoryA(folder_.c_str(), nullptr);
    Folders.push_back(folder_);
    exe_ = folder_ + "\\Seamlog.exe";
    if (!CopyFileA(exe.c_str(), exe_.c_str(), FALSE)) Fail("cannot copy " + exe);
  }
  // Ends the program if it still runs and takes its folder away with it.
  ~Program() {
    if (process_.hProcess) {
      if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(process_.hProcess, 99);
      WaitForSingleObject(process_.hProcess, 10000);
      CloseHandle(process_.hProcess);
      CloseHandle(process_.hThread);
    }
    RemoveFolder(folder_);
  }

  const std::string& Folder() const { return folder_; }
  std::string IniPath() const { return folder_ + "\\Benchkit.ini"; }

  // Starts the program; a program that has ended may be started again.
  void Start() {
    if (process_.hProcess) {
      CloseHandle(process_.hProcess);
      CloseHandle(process_.hThread);
      process_ = {};
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    std::string command = "\"" + exe_ + "\"";
    // Started from elsewhere: the program must find its own folder itself.
    if (!CreateProcessA(exe_.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, "C:\\",
                        &startup, &process_))
      Fail("cannot start " + exe_);
    WaitForInputIdle(process_.hProcess, 10000);
  }

  // Waits for the program to end; its exit code, or -1 when it did not end.
  int WaitForExit(DWORD milliseconds = 10000) {
    if (WaitForSingleObject(process_.hProcess, milliseconds) != WAIT_OBJECT_0) return -1;
    DWORD code = 0;
    GetExitCodeProcess(process_.hProcess, &code);
    return static_cast<int>(code);
  }
  bool Running() const { return WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT; }

  // A visible top-level window of the program with this class (and title).
  HWND FindWindowOf(const std::string& className, const char* title = nullptr) const {
    struct Search {
      DWORD pid;
      const std::string* className;
      const char* title;
      HWND found;
    } search{process_.dwProcessId, &className, title, nullptr};
    EnumWindows(
        [](HWND window, LPARAM data) -> BOOL {
          auto* s = reinterpret_cast<Search*>(data);
          DWORD pid = 0;
          GetWindowThreadProcessId(window, &pid);
          if (pid != s->pid || !IsWindowVisible(window) || ClassOf(window) != *s->className) return TRUE;
          if (s->title) {
            char caption[256] = {};
            GetWindowTextA(window, caption, sizeof caption);
            if (std::string(caption) != s->title) return TRUE;
          }
          s->found = window;
          return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
  }

  HWND WaitForWindow(const std::string& className, const char* title = nullptr,
                     DWORD milliseconds = 15000) const {
    for (DWORD waited = 0; waited < milliseconds; waited += 50) {
      if (HWND window = FindWindowOf(className, title)) return window;
      if (!Running()) break;
      Sleep(50);
    }
    return nullptr;
  }

  HWND RequireWindow(const std::string& className, const char* title = nullptr,
                     DWORD milliseconds = 15000) const {
    HWND window = WaitForWindow(className, title, milliseconds);
    if (!window) Fail("no window of class " + className + (title ? std::string(" titled ") + title : ""));
    return window;
  }

 private:
  std::string folder_;
  std::string exe_;
  PROCESS_INFORMATION process_{};
};

void Click(HWND parent, int id) {
  HWND button = GetDlgItem(parent, id);
  if (!button) Fail("no control " + std::to_string(id));
  PostMessageA(parent, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
}

// Alt plus a letter, as the keyboard delivers it to the focused window.
void PressAlt(HWND window, char letter) {
  PostMessageA(window, WM_SYSCHAR, static_cast<WPARAM>(letter), static_cast<LPARAM>(1 | (1 << 29)));
}

void SetText(HWND window, const std::string& text) {
  DWORD_PTR ignored = 0;
  SendMessageTimeoutA(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), SMTO_ABORTIFHUNG,
                      5000, &ignored);
}

// ---- Seamlog's windows --------------------------------------------------------

struct MainWindow {
  HWND window;
  HWND Item(int id) const { return GetDlgItem(window, id); }
  std::string Caption() const { return Text(window); }
  std::string Label() const { return Text(Item(ids::kInformationLabel)); }
  std::string Live() const { return Text(Item(ids::kLiveText)); }
};

MainWindow OpenMainWindow(Program& program, const std::string& modelText = "") {
  HWND dialog = program.RequireWindow(ids::kSelectModelDialogClass);
  if (!modelText.empty()) SetText(GetDlgItem(dialog, ids::kSplModelCombo), modelText);
  Click(dialog, ids::kOKButton);
  return MainWindow{program.RequireWindow(ids::kMainFormClass)};
}

// What the splicer would have sent, handed over through the test build's door.
void Inject(const MainWindow& main, const std::string& text) {
  constexpr std::size_t kChunk = 1024 * 1024;  // as a link would deliver it: piece by piece
  for (std::size_t at = 0; at < text.size(); at += kChunk) {
    const std::string piece = text.substr(at, kChunk);
    COPYDATASTRUCT data{ids::kTestReceivedTextTag, static_cast<DWORD>(piece.size()),
                        const_cast<char*>(piece.data())};
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutA(main.window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data),
                             SMTO_ABORTIFHUNG, 30000, &result) ||
        result != TRUE)
      Fail("the program did not take the injected text (is it the test build?)");
  }
}

// A MODEL-A record: the separator block (66 characters) and a body of 552
// characters with the record number at its 35th character.
std::string ModelARecord(int number) {
  std::string separator = std::string(31, '-') + "\r\n" + std::string(31, ' ') + "\r\n";
  std::string body(552, ' ');
  const std::string no = std::to_string(number);
  body.replace(34, no.size(), no);
  body.replace(68, 3, "0.4");
  body.replace(550, 2, "\r\n");
  return separator + body;
}

std::string ModelARecords(int count) {
  std::string text;
  text.reserve(static_cast<std::size_t>(count) * 618);
  for (int i = 1; i <= count; ++i) text += ModelARecord(i);
  return text;
}

struct Box {
  HWND window;
  std::string text;
  HWND icon = nullptr;  // the control that shows its icon
};

// 32-bit pixels of a w x h bitmap drawn by paint on a memory DC.
template <typename Paint>
std::vector<DWORD> Pixels(int w, int h, Paint&& paint) {
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO format{};
  format.bmiHeader.biSize = sizeof format.bmiHeader;
  format.bmiHeader.biWidth = w;
  format.bmiHeader.biHeight = -h;
  format.bmiHeader.biPlanes = 1;
  format.bmiHeader.biBitCount = 32;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &format, DIB_RGB_COLORS, &bits, nullptr, 0);
  std::vector<DWORD> pixels;
  if (bitmap) {
    HGDIOBJ old = SelectObject(memory, bitmap);
    paint(memory, screen);
    GdiFlush();
    const DWORD* p = static_cast<const DWORD*>(bits);
    pixels.assign(p, p + static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
    SelectObject(memory, old);
    DeleteObject(bitmap);
  }
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return pixels;
}

// Whether the box shows this system icon: its icon control's pixels on the
// screen against the icon drawn here on the same background.
bool ShowsIcon(const Box& box, LPCSTR systemIcon) {
  RECT r;
  if (!box.icon || !GetWindowRect(box.icon, &r)) return false;
  const int w = r.right - r.left, h = r.bottom - r.top;
  const std::vector<DWORD> shown =
      Pixels(w, h, [&](HDC memory, HDC screen) { BitBlt(memory, 0, 0, w, h, screen, r.left, r.top, SRCCOPY); });
  if (shown.empty()) return false;
  const COLORREF background = RGB((shown[0] >> 16) & 0xFF, (shown[0] >> 8) & 0xFF, shown[0] & 0xFF);
  const std::vector<DWORD> drawn = Pixels(w, h, [&](HDC memory, HDC) {
    HBRUSH brush = CreateSolidBrush(background);
    RECT all{0, 0, w, h};
    FillRect(memory, &all, brush);
    DeleteObject(brush);
    DrawIconEx(memory, 0, 0, LoadIconA(nullptr, systemIcon), 0, 0, 0, nullptr, DI_NORMAL);
  });
  return shown == drawn;
}

// The program's message box, with the text it shows.
Box WaitForMessageBox(Program& program, DWORD milliseconds = 15000) {
  HWND box = program.RequireWindow("#32770", "Seamlog", milliseconds);
  std::string text;
  HWND icon = nullptr;
  Sleep(200);  // let the box paint
  for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    if (ClassOf(child) != "Static") continue;
    if ((GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
      icon = child;
      continue;
    }
    const std::string t = Text(child);
    if (!t.empty()) text = t;
  }
  return Box{box, text, icon};
}

void Answer(const Box& box, int id) { Click(box.window, id); }

// Waits until no message box of the program is left.
void WaitUntilGone(Program& program, const char* className, const char* title) {
  for (int i = 0; i < 200 && program.FindWindowOf(className, title); ++i) Sleep(50);
}

HWND WaitForSaveDialog(Program& program) { return program.RequireWindow("#32770", "Write File"); }

// Types a path into the Save dialog's file name field and presses Save.
void ChooseFile(HWND dialog, const std::string& path) {
  HWND name = GetDlgItem(dialog, cmb13);
  if (!name) name = GetDlgItem(dialog, edt1);
  if (!name) Fail("the Save dialog has no file name field");
  SetText(name, path);
  Click(dialog, IDOK);
}

bool WaitFor(const std::function<bool()>& condition, DWORD milliseconds = 5000) {
  for (DWORD waited = 0; waited < milliseconds; waited += 50) {
    if (condition()) return true;
    Sleep(50);
  }
  return condition();
}

bool SaveButtonEnabled(const MainWindow& main) {
  return WaitFor([&] { return IsWindowEnabled(main.Item(ids::kCmdSaveAsCmd)) != FALSE; });
}

std::string Screenshots;

// Asks the screenshot script to photograph the screen, and waits for it.
void Screenshot(const std::string& name) {
  if (Screenshots.empty()) return;
  const std::string request = Screenshots + "\\" + name + ".request";
  const std::string done = Screenshots + "\\" + name + ".done";
  WriteFile(request, name);
  WaitFor([&] { return GetFileAttributesA(done.c_str()) != INVALID_FILE_ATTRIBUTES; }, 20000);
}

// ---- the cases -------------------------------------------------------------------

void UntouchedOkSelectsModelA(const std::string& exe) {
  Program program(exe, "dialog_ok");
  program.Start();
  HWND dialog = program.RequireWindow(ids::kSelectModelDialogClass);
  CHECK_EQ(Text(dialog), "Seamlog ");
  HWND combo = GetDlgItem(dialog, ids::kSplModelCombo);
  CHECK_EQ(Text(combo), "MODEL-A");
  CHECK(SendMessageA(combo, CB_GETCOUNT, 0, 0) == 3);
  CHECK_EQ(Text(GetDlgItem(dialog, ids::kSplModelFrame)), "Select Model");
  CHECK_EQ(Text(GetDlgItem(dialog, ids::kOKButton)), "OK");
  CHECK_EQ(Text(GetDlgItem(dialog, ids::kCancelButton)), "Cancel");
  CHECK((GetWindowLongA(dialog, GWL_STYLE) & WS_THICKFRAME) == 0);  // fixed size
  Screenshot("select_model_dialog");

  Click(dialog, ids::kOKButton);
  MainWindow main{program.RequireWindow(ids::kMainFormClass)};
  CHECK(!program.FindWindowOf(ids::kSelectModelDialogClass));
  CHECK_EQ(main.Caption(), "Seamlog <MODEL-A>");
  CHECK_EQ(Text(main.Item(ids::kCmdSaveAsCmd)), "Save As (&S)");
  CHECK_EQ(Text(main.Item(ids::kEndCommand)), "Exit (&Q)");
  CHECK_EQ(main.Label(), "");
  CHECK(!IsWindowEnabled(main.Item(ids::kInformationLabel)));
  CHECK(!IsWindowVisible(main.Item(ids::kInformationBar)));
  CHECK_EQ(main.Live(), "");
  CHECK(IsWindowVisible(main.Item(ids::kUSBConnectPicture0)));
  CHECK(!IsWindowVisible(main.Item(ids::kUSBConnectPicture1)));
  CHECK((GetWindowLongA(main.window, GWL_STYLE) & WS_THICKFRAME) != 0);  // sizable
  CHECK((GetWindowLongA(main.Item(ids::kLiveText), GWL_STYLE) & (ES_MULTILINE | ES_READONLY | WS_VSCROLL)) ==
        (ES_MULTILINE | ES_READONLY | WS_VSCROLL));

  // Outer size 8040 x 7212 twips at the screen's DPI.
  HDC screen = GetDC(nullptr);
  const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  RECT outer;
  GetWindowRect(main.window, &outer);
  CHECK(outer.right - outer.left == MulDiv(8040, dpi, 1440));
  CHECK(outer.bottom - outer.top == MulDiv(7212, dpi, 1440));

  // Every control at its place in twips (left, top, width, height of the
  // client area).
  struct Place {
    int id, left, top, width, height;
  };
  for (const Place& p : {Place{ids::kUSBConnectPicture0, 120, 120, 495, 495},
                         Place{ids::kUSBConnectPicture1, 120, 120, 495, 495},
                         Place{ids::kInformationLabel, 720, 120, 5052, 372},
                         Place{ids::kCmdSaveAsCmd, 5880, 120, 1935, 375},
                         Place{ids::kLiveText, 120, 600, 7695, 5532},
                         Place{ids::kInformationBar, 120, 6240, 5652, 372},
                         Place{ids::kEndCommand, 5880, 6240, 1935, 375}}) {
    RECT r;
    GetWindowRect(main.Item(p.id), &r);
    MapWindowPoints(nullptr, main.window, reinterpret_cast<POINT*>(&r), 2);
    const int x = MulDiv(p.left, dpi, 1440), y = MulDiv(p.top, dpi, 1440);
    if (r.left != x || r.top != y || r.right - r.left != MulDiv(p.width, dpi, 1440) ||
        r.bottom - r.top != MulDiv(p.height, dpi, 1440)) {
      std::printf("FAILED: control %d at %ld,%ld %ldx%ld\n", p.id, r.left, r.top, r.right - r.left,
                  r.bottom - r.top);
      ++failures;
    }
  }

  // Not connected: the input focus is on Exit.
  GUITHREADINFO gui{};
  gui.cbSize = sizeof gui;
  CHECK(GetGUIThreadInfo(GetWindowThreadProcessId(main.window, nullptr), &gui));
  CHECK(gui.hwndFocus == main.Item(ids::kEndCommand));

  // Alt+Q is Exit; with nothing received it closes without a question.
  PressAlt(main.window, 'q');
  CHECK(program.WaitForExit() == 0);
}

void TypedNamesSelectTheirModel(const std::string& exe) {
  Program program(exe, "dialog_typed");
  program.Start();
  MainWindow main = OpenMainWindow(program, "MODEL-C");
  CHECK_EQ(main.Caption(), "Seamlog <MODEL-C>");
  Click(main.window, ids::kEndCommand);
  CHECK(program.WaitForExit() == 0);
}

void UnknownNamesEndTheProgram(const std::string& exe) {
  for (const char* typed : {"model-b", "MODEL-B ", ""}) {
    Program program(exe, "dialog_unknown");
    program.Start();
    HWND dialog = program.RequireWindow(ids::kSelectModelDialogClass);
    SetText(GetDlgItem(dialog, ids::kSplModelCombo), typed);
    Click(dialog, ids::kOKButton);
    CHECK(program.WaitForExit() == 0);
    CHECK(!program.FindWindowOf(ids::kMainFormClass));
    CHECK(GetFileAttributesA(program.IniPath().c_str()) == INVALID_FILE_ATTRIBUTES);
  }
}

void CancelAndCloseEndTheProgram(const std::string& exe) {
  {
    Program program(exe, "dialog_cancel");
    program.Start();
    Click(program.RequireWindow(ids::kSelectModelDialogClass), ids::kCancelButton);
    CHECK(program.WaitForExit() == 0);
  }
  {
    Program program(exe, "dialog_close");
    program.Start();
    PostMessageA(program.RequireWindow(ids::kSelectModelDialogClass), WM_CLOSE, 0, 0);
    CHECK(program.WaitForExit() == 0);
  }
}

void LabelCountsInjectedRecords(const std::string& exe) {
  Program program(exe, "label");
  program.Start();
  MainWindow main = OpenMainWindow(program);
  Inject(main, std::string(927, 'x'));  // 1.5 records of 618: rounds to 2
  CHECK(WaitFor([&] { return main.Label() == "Seamlog Received: 2"; }, 3000));
  CHECK_EQ(main.Label(), "Seamlog Received: 2");
  CHECK_EQ(main.Live(), std::string(927, 'x'));
  Inject(main, std::string(1545 - 927, 'x'));  // 2.5: still 2
  Inject(main, "x");                           // 1546: 3
  CHECK(WaitFor([&] { return main.Label() == "Seamlog Received: 3"; }, 3000));
  CHECK_EQ(main.Label(), "Seamlog Received: 3");
  // More than 32,767 records' worth still shows.
  Inject(main, std::string(618u * 40000u, 'y'));
  CHECK(WaitFor([&] { return main.Label() == "Seamlog Received: 40003"; }, 3000));
  CHECK_EQ(main.Label(), "Seamlog Received: 40003");
  CHECK(main.Live().size() == 20000);
  // A table of more than 32,767 records cannot be saved: the save fails
  // and keeps the text.
  Click(main.window, ids::kCmdSaveAsCmd);
  ChooseFile(WaitForSaveDialog(program), program.Folder() + "\\too_many.csv");
  Box failed = WaitForMessageBox(program, 60000);
  CHECK_EQ(failed.text, "Data save failed.");
  Answer(failed, IDOK);
  CHECK(SaveButtonEnabled(main));
  CHECK(main.Live().size() == 20000);
  Click(main.window, ids::kEndCommand);
  Answer(WaitForMessageBox(program), IDYES);
  CHECK(program.WaitForExit() == 0);
}

void SaveWithNothingReceivedFails(const std::string& exe) {
  Program program(exe, "save_empty");
  program.Start();
  MainWindow main = OpenMainWindow(program);
  PressAlt(main.window, 's');  // Alt+S is Save As
  Box box = WaitForMessageBox(program);
  CHECK_EQ(box.text, "Data save failed.");
  CHECK(ShowsIcon(box, IDI_EXCLAMATION));
  CHECK(!ShowsIcon(box, IDI_ASTERISK));
  CHECK(!IsWindowEnabled(main.Item(ids::kCmdSaveAsCmd)));
  CHECK(!program.FindWindowOf("#32770", "Write File"));
  Answer(box, IDOK);
  CHECK(SaveButtonEnabled(main));
  Click(main.window, ids::kEndCommand);
  CHECK(program.WaitForExit() == 0);
}

void SaveAsThroughTheCommonDialog(const std::string& exe) {
  Program program(exe, "save");
  // A settings file that already holds other values.
  WriteFile(program.IniPath(), "[Other]\r\nColour=blue\r\n[System]\r\nSpeed=9600\r\n");
  program.Start();
  MainWindow main = OpenMainWindow(program);
  const std::string records = ModelARecords(3);
  Inject(main, records);

  // Cancelling the dialog ends the flow silently.
  Click(main.window, ids::kCmdSaveAsCmd);
  HWND dialog = WaitForSaveDialog(program);
  CHECK(!IsWindowEnabled(main.Item(ids::kCmdSaveAsCmd)));
  Click(dialog, IDCANCEL);
  CHECK(SaveButtonEnabled(main));
  CHECK(!program.FindWindowOf("#32770", "Seamlog"));
  CHECK(ReadFile(program.IniPath()).find("CsvDir") == std::string::npos);
  CHECK(main.Live().size() == records.size());

  // A save into a file under the temporary folder.
  // Typed without an extension: the dialog adds ".csv".
  const std::string table = program.Folder() + "\\tables\\run1.csv";
  CreateDirectoryA((program.Folder() + "\\tables").c_str(), nullptr);
  Click(main.window, ids::kCmdSaveAsCmd);
  ChooseFile(WaitForSaveDialog(program), program.Folder() + "\\tables\\run1");
  Box done = WaitForMessageBox(program);
  CHECK_EQ(done.text, "Data save completed.");
  CHECK(ShowsIcon(done, IDI_ASTERISK));
  CHECK(!ShowsIcon(done, IDI_EXCLAMATION));
  CHECK(GetFileAttributesA((program.Folder() + "\\tables\\run1").c_str()) == INVALID_FILE_ATTRIBUTES);
  CHECK(main.Live().size() == records.size());  // emptied only after the box is closed
  Answer(done, IDOK);
  CHECK(SaveButtonEnabled(main));
  CHECK(WaitFor([&] { return main.Live().empty(); }));
  CHECK(WaitFor([&] { return main.Label().empty(); }, 3000));

  const std::string first = ReadFile(table);
  CHECK(first.rfind("\r\n\r\nNo.,", 0) == 0);
  CHECK(Count(first, "\r\n") == 4 + 3);  // two empty rows, header, units, three records

  // The settings file next to the program remembers the folder and keeps the rest.
  const std::string ini = ReadFile(program.IniPath());
  CHECK(ini.find("CsvDir=" + program.Folder() + "\\tables") != std::string::npos);
  CHECK(ini.find("Speed=9600") != std::string::npos);
  CHECK(ini.find("Colour=blue") != std::string::npos);

  // After the completed save nothing is left to save.
  Click(main.window, ids::kCmdSaveAsCmd);
  Box empty = WaitForMessageBox(program);
  CHECK_EQ(empty.text, "Data save failed.");
  Answer(empty, IDOK);
  CHECK(SaveButtonEnabled(main));

  // A second save into the same file appends a second table.
  Inject(main, ModelARecords(2));
  Click(main.window, ids::kCmdSaveAsCmd);
  HWND second = WaitForSaveDialog(program);
  ChooseFile(second, table);
  Box again = WaitForMessageBox(program);
  CHECK_EQ(again.text, "Data save completed.");
  Answer(again, IDOK);
  CHECK(SaveButtonEnabled(main));
  const std::string both = ReadFile(table);
  CHECK(both.rfind(first, 0) == 0);
  CHECK(Count(both, "\r\n\r\nNo.,") == 2);
  CHECK(Count(both, "\r\n") == 7 + 6);

  // A table file that another program holds locked cannot be opened: the
  // save fails and the text stays.
  Inject(main, ModelARecords(1));
  HANDLE lock = CreateFileA(table.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  CHECK(lock != INVALID_HANDLE_VALUE);
  Click(main.window, ids::kCmdSaveAsCmd);
  ChooseFile(WaitForSaveDialog(program), table);
  Box failed = WaitForMessageBox(program);
  CHECK_EQ(failed.text, "Data save failed.");
  Answer(failed, IDOK);
  CloseHandle(lock);
  CHECK(SaveButtonEnabled(main));
  CHECK(main.Live().size() == 618);
  CHECK(ReadFile(table) == both);

  Click(main.window, ids::kEndCommand);
  Box ask = WaitForMessageBox(program);  // the text was not saved
  Answer(ask, IDYES);
  CHECK(program.WaitForExit() == 0);
}

void SaveIntoADriveRoot(const std::string& exe) {
  Program program(exe, "save_root");
  program.Start();
  MainWindow main = OpenMainWindow(program);
  Inject(main, ModelARecords(1));
  const std::string table = "C:\\seamlog_gui_root_" + std::to_string(GetCurrentProcessId()) + ".csv";
  Click(main.window, ids::kCmdSaveAsCmd);
  ChooseFile(WaitForSaveDialog(program), table);
  Box done = WaitForMessageBox(program);
  CHECK_EQ(done.text, "Data save completed.");
  Answer(done, IDOK);
  CHECK(SaveButtonEnabled(main));
  CHECK(ReadFile(program.IniPath()).find("CsvDir=C:\r\n") != std::string::npos);
  CHECK(ReadFile(table).rfind("\r\n\r\nNo.,", 0) == 0);
  DeleteFileA(table.c_str());
  Click(main.window, ids::kEndCommand);
  CHECK(program.WaitForExit() == 0);

  // After a restart the dialog opens at the root of C:, the remembered
  // folder, not at the program's own folder (the current one on drive C).
  program.Start();
  MainWindow again = OpenMainWindow(program);
  Inject(again, ModelARecords(1));
  Click(again.window, ids::kCmdSaveAsCmd);
  HWND dialog = WaitForSaveDialog(program);
  const std::string lookIn = Text(GetDlgItem(dialog, cmb2));
  std::printf("      the dialog looks in \"%s\"\n", lookIn.c_str());
  CHECK(lookIn.find("C:") != std::string::npos);
  CHECK(lookIn.find("seamlog_gui") == std::string::npos);
  Click(dialog, IDCANCEL);
  CHECK(SaveButtonEnabled(again));
  Click(again.window, ids::kEndCommand);
  Answer(WaitForMessageBox(program), IDYES);
  CHECK(program.WaitForExit() == 0);
}

void ModelCTextWithoutHeadingsFails(const std::string& exe) {
  Program program(exe, "save_stopped");
  program.Start();
  MainWindow main = OpenMainWindow(program);
  // "Irregular" with no "Loss" after it is MODEL-C; without its heading line
  // the conversion stops at the first record.
  // 1600 characters: 2.59 records of MODEL-A's 618, 2.41 of MODEL-C's 665.
  const std::string text = "Irregular splice report " + std::string(1600 - 24, 'z');
  Inject(main, text);
  CHECK(WaitFor([&] { return main.Label() == "Seamlog Received: 3"; }, 3000));  // counted as MODEL-A
  const std::string table = program.Folder() + "\\stopped.csv";
  Click(main.window, ids::kCmdSaveAsCmd);
  ChooseFile(WaitForSaveDialog(program), table);
  Box box = WaitForMessageBox(program);
  CHECK_EQ(box.text,
           "Data save stopped at record 1: it has no \"Irregular\" or \"Loss\" heading line.\r\n"
           "No record was saved. Record 1 and the records after it were kept, not saved.");
  CHECK_EQ(main.Caption(), "Seamlog <MODEL-C>");  // the recognised model is taken over
  CHECK_EQ(main.Label(), "Seamlog Received: 2");
  Answer(box, IDOK);
  CHECK(SaveButtonEnabled(main));
  CHECK(main.Live() == text);
  CHECK(ReadFile(table).rfind("\r\n\r\n", 0) == 0);
  Click(main.window, ids::kEndCommand);
  Answer(WaitForMessageBox(program), IDYES);
  CHECK(program.WaitForExit() == 0);
}

void ExitWithUnsavedTextAsksFirst(const std::string& exe) {
  Program program(exe, "exit_unsaved");
  program.Start();
  MainWindow main = OpenMainWindow(program);
  Inject(main, ModelARecords(1));

  Click(main.window, ids::kEndCommand);
  Box ask = WaitForMessageBox(program);
  CHECK_EQ(ask.text, "Received data has not been saved. Exit anyway?");
  CHECK(GetDlgItem(ask.window, IDYES) && GetDlgItem(ask.window, IDNO));
  Answer(ask, IDNO);
  WaitUntilGone(program, "#32770", "Seamlog");
  Sleep(300);
  CHECK(program.Running());
  CHECK(IsWindow(main.window));

  // A system shutdown is never held up by the question.
  DWORD_PTR allowed = 0;
  CHECK(SendMessageTimeoutA(main.window, WM_QUERYENDSESSION, 0, 0, SMTO_ABORTIFHUNG, 5000, &allowed));
  CHECK(allowed == TRUE);
  CHECK(!program.FindWindowOf("#32770", "Seamlog"));

  // The close box asks as well; Yes ends the program.
  PostMessageA(main.window, WM_CLOSE, 0, 0);
  Box again = WaitForMessageBox(program);
  CHECK_EQ(again.text, "Received data has not been saved. Exit anyway?");
  Answer(again, IDYES);
  CHECK(program.WaitForExit() == 0);
}

void ExitDuringSaveWaitsForTheSave(const std::string& exe) {
  Program program(exe, "exit_during_save");
  program.Start();
  MainWindow main = OpenMainWindow(program);
  Inject(main, ModelARecords(2));
  Click(main.window, ids::kCmdSaveAsCmd);
  HWND dialog = WaitForSaveDialog(program);
  Click(main.window, ids::kEndCommand);  // Exit while the save runs
  Sleep(500);
  CHECK(IsWindow(main.window));
  CHECK(IsWindow(dialog));
  ChooseFile(dialog, program.Folder() + "\\during.csv");
  Box done = WaitForMessageBox(program);
  CHECK_EQ(done.text, "Data save completed.");
  Answer(done, IDOK);
  // The save is over and nothing is left unsaved: now the Exit is carried out.
  CHECK(program.WaitForExit() == 0);
  CHECK(Count(ReadFile(program.Folder() + "\\during.csv"), "\r\n") == 4 + 2);
}

void TextArrivingDuringTheCompletionMessageIsKept(const std::string& exe) {
  Program program(exe, "late_text");
  program.Start();
  MainWindow main = OpenMainWindow(program);
  Inject(main, ModelARecords(2));
  Click(main.window, ids::kCmdSaveAsCmd);
  ChooseFile(WaitForSaveDialog(program), program.Folder() + "\\late.csv");
  Box done = WaitForMessageBox(program);
  CHECK_EQ(done.text, "Data save completed.");
  // The link keeps receiving while the message is open.
  Inject(main, "late record\r\n");
  Answer(done, IDOK);
  CHECK(SaveButtonEnabled(main));
  CHECK(WaitFor([&] { return main.Live() == "late record\r\n"; }));
  CHECK_EQ(main.Live(), "late record\r\n");
  CHECK(Count(ReadFile(program.Folder() + "\\late.csv"), "\r\n") == 4 + 2);
  Click(main.window, ids::kEndCommand);
  Box ask = WaitForMessageBox(program);  // the late text is not saved yet
  CHECK_EQ(ask.text, "Received data has not been saved. Exit anyway?");
  Answer(ask, IDYES);
  CHECK(program.WaitForExit() == 0);
}

// The record numbers of each table in a file, table by table.
std::vector<std::vector<int>> TableNumbers(const std::string& file) {
  std::vector<std::vector<int>> tables;
  bool units = false;
  for (std::size_t at = 0; at < file.size();) {
    std::size_t end = file.find("\r\n", at);
    if (end == std::string::npos) end = file.size();
    const std::string row = file.substr(at, end - at);
    at = end + 2;
    if (row.rfind("No.,", 0) == 0) {
      tables.emplace_back();
      units = true;
    } else if (units) {
      units = false;
    } else if (!row.empty() && !tables.empty()) {
      tables.back().push_back(std::atoi(row.c_str()));
    }
  }
  return tables;
}

std::vector<int> Numbered(int count) {
  std::vector<int> numbers;
  for (int i = 1; i <= count; ++i) numbers.push_back(i);
  return numbers;
}

void SaveInto(Program& program, const MainWindow& main, const std::string& table) {
  Click(main.window, ids::kCmdSaveAsCmd);
  ChooseFile(WaitForSaveDialog(program), table);
}

// No splicer is attached here, so no record can still be arriving: a last
// record cut short is saved as far as it goes, and nothing of it is left to
// spoil the next save. (A record still arriving while the splicer sends is
// held back for the next save: seamlog_session_test, at every cut point.)
void ARecordCutShortWithoutASplicerIsSavedOnce(const std::string& exe) {
  Program program(exe, "cut_short");
  program.Start();
  MainWindow main = OpenMainWindow(program);
  Inject(main, ModelARecords(2) + ModelARecord(3).substr(0, 600));
  const std::string table = program.Folder() + "\\cut_short.csv";
  SaveInto(program, main, table);
  Box done = WaitForMessageBox(program);
  CHECK_EQ(done.text, "Data save completed.");
  Answer(done, IDOK);
  CHECK(WaitFor([&] { return main.Live().empty(); }));
  Inject(main, ModelARecords(1));
  SaveInto(program, main, table);
  Box again = WaitForMessageBox(program);
  CHECK_EQ(again.text, "Data save completed.");
  Answer(again, IDOK);
  CHECK(TableNumbers(ReadFile(table)) == (std::vector<std::vector<int>>{{1, 2, 3}, {1}}));
  Click(main.window, ids::kEndCommand);  // nothing unsaved: no question
  CHECK(program.WaitForExit() == 0);
}

void TwoWindowsSavingIntoOneFileKeepTheirTablesWhole(const std::string& exe) {
  Program first(exe, "two_windows_first");
  Program second(exe, "two_windows_second");
  first.Start();
  MainWindow a = OpenMainWindow(first);
  second.Start();
  MainWindow b = OpenMainWindow(second);
  Inject(a, ModelARecords(9999));  // the No. column holds four digits
  Inject(b, ModelARecords(5));
  const std::string table = first.Folder() + "\\shared.csv";
  SaveInto(first, a, table);
  SaveInto(second, b, table);  // while the first save holds the file
  Box doneA = WaitForMessageBox(first, 240000);
  Box doneB = WaitForMessageBox(second, 240000);
  CHECK_EQ(doneA.text, "Data save completed.");
  const auto tables = TableNumbers(ReadFile(table));
  if (doneB.text == "Data save completed.") {
    // One waited for the other: two whole tables, in either order.
    using Tables = std::vector<std::vector<int>>;
    CHECK(tables == (Tables{Numbered(9999), Numbered(5)}) ||
          tables == (Tables{Numbered(5), Numbered(9999)}));
  } else {
    // The first held the file longer than the second would wait: the second
    // failed, wrote nothing and kept its text.
    CHECK_EQ(doneB.text, "Data save failed.");
    CHECK(tables == (std::vector<std::vector<int>>{Numbered(9999)}));
    CHECK(b.Live().size() == 5 * 618);
  }
  Answer(doneA, IDOK);
  Answer(doneB, IDOK);
  CHECK(SaveButtonEnabled(a) && SaveButtonEnabled(b));
  Click(a.window, ids::kEndCommand);
  CHECK(first.WaitForExit() == 0);
  PostMessageA(b.window, WM_CLOSE, 0, 0);
  if (doneB.text != "Data save completed.") Answer(WaitForMessageBox(second), IDYES);
  CHECK(second.WaitForExit() == 0);
}

void RunTimeErrorEndsTheProgram(const std::string& exe) {
  Program program(exe, "run_time_error");
  program.Start();
  MainWindow main = OpenMainWindow(program);
  Inject(main, ModelARecords(1));
  PostMessageA(main.window, RegisterWindowMessageA(ids::kTestRunTimeErrorMessage), 0, 0);
  Box box = WaitForMessageBox(program);
  CHECK(box.text.rfind("Run-time error", 0) == 0);
  // The box belongs to the main window, so it stays in front of it even when
  // another program is active.
  CHECK(GetWindow(box.window, GW_OWNER) == main.window);
  CHECK(box.text.find("Test failure raised by the GUI test driver") != std::string::npos);
  Answer(box, IDOK);
  CHECK(program.WaitForExit() == 1);
}

void ProgressShowsDuringALongSave(const std::string& exe) {
  Program program(exe, "progress");
  program.Start();
  MainWindow main = OpenMainWindow(program);
  Inject(main, ModelARecords(32000));
  CHECK(WaitFor([&] { return main.Label() == "Seamlog Received: 32000"; }, 3000));
  Click(main.window, ids::kCmdSaveAsCmd);
  ChooseFile(WaitForSaveDialog(program), program.Folder() + "\\long.csv");
  HWND bar = main.Item(ids::kInformationBar);
  CHECK(WaitFor([&] { return IsWindowVisible(bar) != FALSE; }, 10000));
  Sleep(300);
  Screenshot("main_window_saving");
  Box done = WaitForMessageBox(program, 240000);
  CHECK_EQ(done.text, "Data save completed.");
  Answer(done, IDOK);
  CHECK(SaveButtonEnabled(main));
  CHECK(SendMessageA(bar, PBM_GETPOS, 0, 0) == 0);
  CHECK(SendMessageA(bar, PBM_GETRANGE, FALSE, 0) == 1);
  CHECK(Count(ReadFile(program.Folder() + "\\long.csv"), "\r\n") == 4 + 32000);
  Click(main.window, ids::kEndCommand);
  CHECK(program.WaitForExit() == 0);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::printf("usage: seamlog_gui_driver <case> <SeamlogTestHook.exe> [screenshot folder]\n");
    return 2;
  }
  if (!GetEnvironmentVariableA("DISPLAY", nullptr, 0)) {
    std::printf("no DISPLAY: run under xvfb-run -a\n");
    return 77;
  }
  if (argc > 3) Screenshots = argv[3];
  const std::map<std::string, void (*)(const std::string&)> cases = {
      {"dialog_ok_selects_model_a", UntouchedOkSelectsModelA},
      {"dialog_typed_name_selects_its_model", TypedNamesSelectTheirModel},
      {"dialog_unknown_name_ends_the_program", UnknownNamesEndTheProgram},
      {"dialog_cancel_and_close_end_the_program", CancelAndCloseEndTheProgram},
      {"label_counts_received_records", LabelCountsInjectedRecords},
      {"save_with_nothing_received_fails", SaveWithNothingReceivedFails},
      {"save_as_through_the_common_dialog", SaveAsThroughTheCommonDialog},
      {"save_into_a_drive_root", SaveIntoADriveRoot},
      {"save_of_model_c_text_without_headings_fails", ModelCTextWithoutHeadingsFails},
      {"exit_with_unsaved_text_asks_first", ExitWithUnsavedTextAsksFirst},
      {"exit_during_save_waits_for_the_save", ExitDuringSaveWaitsForTheSave},
      {"progress_shows_during_a_long_save", ProgressShowsDuringALongSave},
      {"run_time_error_ends_the_program", RunTimeErrorEndsTheProgram},
      {"text_arriving_during_the_completion_message_is_kept", TextArrivingDuringTheCompletionMessageIsKept},
      {"a_record_cut_short_without_a_splicer_is_saved_once", ARecordCutShortWithoutASplicerIsSavedOnce},
      {"two_windows_saving_into_one_file_keep_their_tables_whole",
       TwoWindowsSavingIntoOneFileKeepTheirTablesWhole},
  };
  const auto found = cases.find(argv[1]);
  if (found == cases.end()) {
    std::printf("unknown case %s\n", argv[1]);
    return 2;
  }
  try {
    found->second(argv[2]);
  } catch (const Fatal& fatal) {
    std::printf("FAILED: %s\n", fatal.what.c_str());
    ++failures;
  }
  // A case leaves nothing behind in the Wine prefix.
  for (const std::string& folder : Folders) {
    if (GetFileAttributesA(folder.c_str()) == INVALID_FILE_ATTRIBUTES) continue;
    std::printf("FAILED: %s was left behind\n", folder.c_str());
    ++failures;
  }
  std::printf("%s: %s\n", argv[1], failures ? "FAILED" : "passed");
  return failures ? 1 : 0;
}
