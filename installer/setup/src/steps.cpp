#include "portline_setup/steps.h"

namespace portline_setup {

bool RunSteps(const std::vector<Step>& steps, bool dryRun, std::ostream& out) {
  const std::size_t total = steps.size();
  for (std::size_t i = 0; i < total; ++i) {
    const Step& step = steps[i];
    out << (dryRun ? "would " : "") << "[" << i + 1 << "/" << total << "] " << step.what << "\n";
    if (dryRun) continue;
    const StepResult failure = step.run();
    if (failure.empty()) continue;
    out << "FAILED: " << step.what << ": " << failure << "\n";
    for (std::size_t j = i; j-- > 0;) {
      if (!steps[j].undo) continue;
      out << "undo: " << steps[j].what << "\n";
      const StepResult undoFailure = steps[j].undo();
      if (!undoFailure.empty()) out << "COULD NOT UNDO: " << steps[j].what << ": " << undoFailure << "\n";
    }
    return false;
  }
  return true;
}

}  // namespace portline_setup
