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

}  // namespace seamlog::save
