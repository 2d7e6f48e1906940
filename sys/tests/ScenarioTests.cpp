// Whole-device scenarios in both completion modes, and the systematic
// low-resources simulation: every scenario re-run once per allocation it
// makes (every call of every allocation site), with only that call failing
// and the step it fails in held to the one outcome stated for its site.
#include <cstdio>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Portline.h"
#include "Scenarios.h"

using namespace kmodel;
using scenarios::Named;
using ::testing::IsEmpty;

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
  return std::string(v.scenario.name) + (v.completion == Completion::Synchronous ? "_Synchronous"
                                         : v.removalOvertakesTransfers           ? "_PendedRemovalFirst"
                                                                                 : "_Pended");
}

int g_faultRuns = 0;

// What the step an allocation failure happens in ends with, site by site.
struct SiteOutcome {
  const char* site;
  AllocationKind kind;
  std::size_t poolSize;  // pool sites only: the bytes they ask for
  NTSTATUS status;
};

const SiteOutcome kOutcomes[] = {
    {"the device object", AllocationKind::CreateDevice, 0, STATUS_INSUFFICIENT_RESOURCES},
    {"the interface registration", AllocationKind::RegisterInterface, 0, STATUS_INSUFFICIENT_RESOURCES},
    {"the descriptor probe", AllocationKind::Pool, PORTLINE_PROBE_BUFFER_SIZE, STATUS_INSUFFICIENT_RESOURCES},
    {"the descriptor copy", AllocationKind::Pool, StandardConfigDescriptor().size() + 1,
     STATUS_INSUFFICIENT_RESOURCES},
    {"a descriptor read's URB", AllocationKind::Pool, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
     STATUS_INSUFFICIENT_RESOURCES},
    {"the interface list", AllocationKind::Pool, 2 * sizeof(USBD_INTERFACE_LIST_ENTRY), STATUS_NO_MEMORY},
    {"the select-configuration URB", AllocationKind::ConfigurationRequest, 0, STATUS_INSUFFICIENT_RESOURCES},
    {"a synchronous URB's IRP", AllocationKind::BuildIoctlIrp, 0, STATUS_INSUFFICIENT_RESOURCES},
    {"the device's control IRP", AllocationKind::AllocateIrp, 0, STATUS_INSUFFICIENT_RESOURCES},
    {"a transfer URB", AllocationKind::Pool, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
     STATUS_INSUFFICIENT_RESOURCES},
    {"a transfer context", AllocationKind::Pool, sizeof(TRANSFER_CONTEXT), STATUS_INSUFFICIENT_RESOURCES},
    // The system request is completed without its device request.
    {"a device power request", AllocationKind::PowerIrp, 0, STATUS_SUCCESS},
};

// The one outcome stated for a recorded site, or null.
const SiteOutcome* OutcomeOf(const RecordedSite& recorded) {
  const SiteOutcome* found = nullptr;
  for (const SiteOutcome& o : kOutcomes) {
    if (o.kind != recorded.site.kind) continue;
    if (o.kind == AllocationKind::Pool && o.poolSize != recorded.size) continue;
    if (found != nullptr) return nullptr;
    found = &o;
  }
  return found;
}

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
    const SiteOutcome* outcome = OutcomeOf(recorded);
    ASSERT_NE(outcome, nullptr) << "no single outcome stated for " << AllocationKindName(recorded.site.kind)
                                << " of " << recorded.size << " bytes at " << recorded.site.caller;
    for (int call = 1; call <= recorded.calls; ++call) {
      Harness h(ConfigFor(GetParam()));
      h.InjectFailure(recorded.site, call, outcome->status);
      GetParam().scenario.run(h);
      const auto problems = h.Finish();
      EXPECT_TRUE(InjectedFailureHappened()) << outcome->site << " call " << call;
      EXPECT_THAT(problems, IsEmpty()) << "failing call " << call << " of " << outcome->site;
      ++runs;
    }
  }
  g_faultRuns += runs;
  std::printf("[ low-res  ] %s: %zu allocation sites, %d runs (%d in all so far)\n",
              NameOf(::testing::TestParamInfo<Variant>(GetParam(), 0)).c_str(), sites.size(), runs,
              g_faultRuns);
}

INSTANTIATE_TEST_SUITE_P(AllScenarios, Scenario, ::testing::ValuesIn(Variants()), NameOf);
