// Whole-device scenarios, written so that the same steps serve as a plain
// test and as a run with one allocation made to fail: every request that
// can allocate is a Harness::Step, which holds the step the failure happens
// in to that allocation's exact status and then takes it again, so the rest
// of the run must come out exactly as in the plain test.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "Harness.h"

namespace scenarios {

using Scenario = std::function<void(kmodel::Harness&)>;

struct Named {
  const char* name;
  Scenario run;
};

// The scenarios that the low-resources simulation replays.
const std::vector<Named>& All();

std::vector<UCHAR> Bytes(std::size_t n, UCHAR first = 0);

}  // namespace scenarios
