#pragma once
// The steps of a save's file work, in the order a save takes them. Tests
// watch them, fail one, or end the process at one, to see that every crash
// point and every failure leaves the file whole or as it was.
namespace seamlog::save {

enum class FileStep { Lock, Append, Flush, SyncFolder, Close, CutBack, Remove };

class FileStepHook {
 public:
  virtual ~FileStepHook() = default;
  // Called before each step; false makes the step fail as the disk would.
  virtual bool Allow(FileStep step) = 0;
};

// The hook every table file calls; nullptr (the default) for none.
void SetFileStepHook(FileStepHook* hook);

#ifndef _WIN32
// The call that forces a file or a folder onto the disk (fsync by default);
// tests count the calls and make them fail or be interrupted.
using SyncCall = int (*)(int fd);
void SetSyncCall(SyncCall call);
#endif

}  // namespace seamlog::save
