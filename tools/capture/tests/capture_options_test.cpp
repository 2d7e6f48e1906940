// The command line of seamlog-capture and where it keeps its files.
#include "capture_options.h"

#include <gtest/gtest.h>

#include <vector>

#include "state_folder.h"

namespace seamlog::tools {
namespace {

struct DeviceCase {
  const char* text;
  bool valid;
  int first;
  int second;
};

TEST(CaptureOptions, BusAndAddressAreDecimalAndWithinUsbLimits) {
  const DeviceCase cases[] = {
      {"1:7", true, 1, 7},    {"255:127", true, 255, 127}, {"0:7", false, 0, 0},   {"1:0", false, 0, 0},
      {"256:7", false, 0, 0}, {"1:128", false, 0, 0},      {"1:", false, 0, 0},    {":7", false, 0, 0},
      {"17", false, 0, 0},    {"1:7x", false, 0, 0},       {"0x1:7", false, 0, 0}, {"-1:7", false, 0, 0},
  };
  for (const DeviceCase& c : cases) {
    portline::libusb::DeviceChoice choice;
    EXPECT_EQ(ParseBusAddress(c.text, choice), c.valid) << c.text;
    if (!c.valid) {
      EXPECT_FALSE(choice.bus) << c.text;
      continue;
    }
    EXPECT_EQ(*choice.bus, c.first) << c.text;
    EXPECT_EQ(*choice.address, c.second) << c.text;
  }
}

TEST(CaptureOptions, VendorAndProductAreHexadecimalOfFourDigitsAtMost) {
  const DeviceCase cases[] = {
      {"1234:abcd", true, 0x1234, 0xABCD},
      {"0:ffff", true, 0, 0xFFFF},
      {"12345:1", false, 0, 0},
      {"1234", false, 0, 0},
      {"12g4:1", false, 0, 0},
      {"1234:", false, 0, 0},
  };
  for (const DeviceCase& c : cases) {
    portline::libusb::DeviceChoice choice;
    choice.vendorId = 7;
    EXPECT_EQ(ParseVendorProduct(c.text, choice), c.valid) << c.text;
    EXPECT_EQ(choice.vendorId, c.valid ? c.first : 7) << c.text;
    if (c.valid) {
      EXPECT_EQ(choice.productId, c.second) << c.text;
    }
  }
}

struct CommandCase {
  std::vector<const char*> args;
  bool valid;
};

TEST(CaptureOptions, ACommandLineIsRefusedWhenItCouldNotDoWhatItAsks) {
  const CommandCase cases[] = {
      {{"--out", "t.csv", "--save-when-idle", "5"}, true},
      {{"--out", "t.csv", "--save-on-exit", "--model", "MODEL-C"}, true},
      {{"--save-when-idle", "5"}, false},  // saving with nowhere to save
      {{"--save-on-exit"}, false},
      {{"--out", "t.csv", "--save-when-idle", "0"}, false},
      {{"--out", "t.csv", "--save-when-idle", "86401"}, false},
      {{"--out", "t.csv", "--save-when-idle"}, false},
      {{"--model", "MODEL-D"}, false},
      {{"--out"}, false},
      {{"--connect-timeout", "2"}, true},
      {{"--exit-when-idle", "1", "--state-dir", "/tmp/s"}, true},
      {{"--exit-when-idle", "0"}, false},
      {{"--state-dir"}, false},
      {{"--state-dir", ""}, false},
      {{"--device", "1:7", "--1234:5678"}, true},
      {{"--1234"}, false},
      {{"table.csv"}, false},
  };
  for (const CommandCase& c : cases) {
    std::vector<const char*> argv{"seamlog-capture"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    CaptureOptions options;
    const std::string problem = ParseCaptureOptions(static_cast<int>(argv.size()), argv.data(), options);
    EXPECT_EQ(problem.empty(), c.valid) << (c.args.empty() ? "" : c.args[0]) << ": " << problem;
  }
}

TEST(CaptureOptions, TheLastDeviceChoiceWins) {
  const char* argv[] = {"seamlog-capture", "--device", "3:9", "--1234:5678"};
  CaptureOptions options;
  ASSERT_EQ(ParseCaptureOptions(4, argv, options), "");
  EXPECT_FALSE(options.device.bus);
  EXPECT_EQ(options.device.vendorId, 0x1234);
  EXPECT_EQ(options.device.productId, 0x5678);
}

TEST(StateFolder, FollowsXdgOnLinuxAndApplicationSupportOnMacos) {
  struct Case {
    const char* xdg;
    const char* home;
    bool macos;
    const char* folder;
  } const cases[] = {
      {"/s", "/home/u", false, "/s/seamlog"},
      {nullptr, "/home/u", false, "/home/u/.local/state/seamlog"},
      {"", "/home/u", false, "/home/u/.local/state/seamlog"},
      {"relative", "/home/u", false, "/home/u/.local/state/seamlog"},
      {nullptr, nullptr, false, ""},
      {"/s", "/Users/u", true, "/Users/u/Library/Application Support/Seamlog"},
      {nullptr, nullptr, true, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(StateFolder(c.xdg, c.home, c.macos), c.folder) << c.folder;
}

}  // namespace
}  // namespace seamlog::tools
