// Whole-device scenarios in both completion modes, and the systematic
// low-resources simulation: every scenario re-run once per allocation it
// makes (every call of every allocation site), with only that call failing.
#include <cstdio>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Portline.h"
#include "Scenarios.h"

using namespace kmodel;
using ::testing::IsEmpty;
using scenarios::Named;

namespace {

struct Variant {
  Named scenario;
  Completion completion;
  bool removalOvertakesTransfers;
};

std::vector<Variant> Variants() {
  std::vector<Variant> out;
  for (const Named& s : scenarios::All()) {
    out.push_back({s, Completion::Synchronous, false});
    out.push_back({s, Completion::Pended, false});
    out.push_back({s, Completion::Pended, true});
  }
  return out;
}

BusConfig ConfigFor(const Variant& v) {
  BusConfig config;
  config.completion = v.completion;
  config.removalOvertakesTransfers = v.removalOvertakesTransfers;
  return config;
}

std::string NameOf(const ::testing::TestParamInfo<Variant>& info) {
  const Variant& v = info.param;
  return std::string(v.scenario.name) +
         (v.completion == Completion::Synchronous ? "_Synchronous"
          : v.removalOvertakesTransfers            ? "_PendedRemovalFirst"
                                                   : "_Pended");
}

int g_faultRuns = 0;

class Scenario : public ::testing::TestWithParam<Variant> {};

}  // namespace

TEST_P(Scenario, RunsCleanlyWithTheVerifierOn) {
  Harness h(ConfigFor(GetParam()));
  GetParam().scenario.run(h);
  EXPECT_THAT(h.Finish(), IsEmpty());
}

TEST_P(Scenario, EndsCleanlyWhenAnyOneAllocationFails) {
  std::vector<RecordedSite> sites;
  {
    Harness h(ConfigFor(GetParam()));
    RecordAllocationSites();
    GetParam().scenario.run(h);
    ASSERT_THAT(h.Finish(), IsEmpty());
    sites = RecordedAllocationSites();
  }
  ASSERT_FALSE(sites.empty());
  int runs = 0;
  // Every call of every site fails once, each in a run of its own.
  for (const RecordedSite& recorded : sites) {
    for (int call = 1; call <= recorded.calls; ++call) {
      Harness h(ConfigFor(GetParam()));
      FailAllocationSiteOnce(recorded.site, call);
      GetParam().scenario.run(h);
      const auto problems = h.Finish();
      const char* kind = AllocationKindName(recorded.site.kind);
      EXPECT_TRUE(InjectedFailureHappened()) << kind << " call " << call;
      EXPECT_THAT(problems, IsEmpty()) << "failing call " << call << " of " << kind << " at "
                                       << recorded.site.caller;
      ++runs;
    }
  }
  g_faultRuns += runs;
  std::printf("[ low-res  ] %s: %zu allocation sites, %d runs (%d in all so far)\n",
              NameOf(::testing::TestParamInfo<Variant>(GetParam(), 0)).c_str(), sites.size(), runs,
              g_faultRuns);
}

INSTANTIATE_TEST_SUITE_P(AllScenarios, Scenario, ::testing::ValuesIn(Variants()), NameOf);
