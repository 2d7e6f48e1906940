// Puts a test DLL into the system folder of the Wine prefix, where a program
// that loads a system DLL by its full path finds it, and takes it out again
// so that the other tests sharing the prefix see Wine's own file. Test
// equipment, never shipped.
//
//   test-system-dll install FILE NAME   FILE becomes <system folder>\NAME; the
//                                       file it replaces is kept beside it
//   test-system-dll remove NAME         the kept file is put back
//
// The kept file is NAME.before-test; an empty one stands for "there was no
// NAME". An install after an install that was never removed keeps the first
// kept file, so the system's own DLL is never lost. A remove without a kept
// file leaves the system folder alone.
// Exit status 0 on success, 1 with a message otherwise.
#include <windows.h>

#include <cstdio>
#include <string>

#include "gui_automation/files.h"

using namespace automation;

namespace {

std::string SystemFolder() {
  char folder[MAX_PATH] = {};
  const UINT length = GetSystemDirectoryA(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return {};
  return folder;
}

bool Failed(const std::string& what) {
  std::printf("FAIL: %s (error %lu)\n", what.c_str(), GetLastError());
  return false;
}

bool Install(const std::string& file, const std::string& target) {
  const std::string kept = target + ".before-test";
  if (!FileExists(kept)) {
    const bool saved = FileExists(target) ? CopyFileA(target.c_str(), kept.c_str(), TRUE) != FALSE
                                          : WriteWholeFile(kept, "");
    if (!saved) return Failed("cannot keep " + target + " as " + kept);
  }
  if (!CopyFileA(file.c_str(), target.c_str(), FALSE)) return Failed("cannot copy " + file + " to " + target);
  std::printf("ok: %s installed as %s\n", file.c_str(), target.c_str());
  return true;
}

bool Remove(const std::string& target) {
  const std::string kept = target + ".before-test";
  if (!FileExists(kept)) {
    std::printf("ok: nothing installed as %s\n", target.c_str());
    return true;
  }
  HANDLE probe = CreateFileA(kept.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (probe == INVALID_HANDLE_VALUE) return Failed("cannot open " + kept);
  const DWORD size = GetFileSize(probe, nullptr);
  CloseHandle(probe);
  if (size == 0) {
    if (FileExists(target) && !DeleteFileA(target.c_str())) return Failed("cannot delete " + target);
    if (!DeleteFileA(kept.c_str())) return Failed("cannot delete " + kept);
  } else if (!MoveFileExA(kept.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    return Failed("cannot put " + kept + " back as " + target);
  }
  std::printf("ok: %s is the system's own again\n", target.c_str());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  const bool install = command == "install" && argc == 4;
  if (!install && !(command == "remove" && argc == 3)) {
    std::fprintf(stderr, "usage: test-system-dll install FILE NAME | remove NAME\n");
    return 2;
  }
  const std::string name = argv[argc - 1];
  const std::string folder = SystemFolder();
  if (folder.empty() || name.empty() || name.find_first_of("\\/:") != std::string::npos) {
    std::printf("FAIL: no system folder, or NAME is not a plain file name\n");
    return 1;
  }
  const std::string target = folder + "\\" + name;
  const bool ok = install ? Install(WindowsPath(argv[2]), target) : Remove(target);
  return ok ? 0 : 1;
}
