#pragma once
// Where a conversion reports how far it has got (the main window's progress bar).
#include <cstdint>

namespace seamlog::convert {

struct ProgressSink {
  virtual ~ProgressSink() = default;
  // A run of n steps begins (0 resets the bar).
  virtual void StartProgress(std::int16_t n) = 0;
  // n steps are done; 0 <= n <= the n of the last StartProgress.
  virtual void SetProgress(std::int16_t n) = 0;
};

// Discards progress; for callers that show none.
struct NoProgress final : ProgressSink {
  void StartProgress(std::int16_t) override {}
  void SetProgress(std::int16_t) override {}
};

}  // namespace seamlog::convert
