// An installation as a list of steps that is either done completely or
// undone: when a step fails, every step done before it is undone, last first.
#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace portline_setup {

// An empty string is success; anything else is the reason of the failure.
using StepResult = std::string;

struct Step {
  std::string what;                 // "Create the catalog PortlineWinUsb.cat"
  std::function<StepResult()> run;  // does the step
  std::function<StepResult()> undo;  // may be empty: nothing to undo
};

// Runs the steps in order and reports each on `out`. With dryRun only says
// what it would do. Returns true when every step succeeded.
bool RunSteps(const std::vector<Step>& steps, bool dryRun, std::ostream& out);

}  // namespace portline_setup
