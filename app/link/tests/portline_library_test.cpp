// The binding to PortlineUSB.dll: loaded on first use, functions looked up by
// name, and a missing file or function reported by name.
#include "portline_library.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace seamlog::link {
namespace {

struct Reported {
  std::string message;
  int number;
};
std::vector<Reported> reported;

void Record(const std::string& message, int number) { reported.push_back({message, number}); }

class Binding : public ::testing::Test {
 protected:
  void SetUp() override { reported.clear(); }
};

TEST_F(Binding, NothingIsLoadedBeforeTheFirstCall) {
  PortlineLibrary library("NoSuchPortline.dll", &Record);
  EXPECT_FALSE(library.Loaded());
  EXPECT_TRUE(reported.empty());
}

TEST_F(Binding, AMissingLibraryIsReportedByFileNameAtTheFirstCall) {
  PortlineLibrary library("NoSuchPortline.dll", &Record);
  std::int32_t handle = 0, a = 0, b = 0;
  EXPECT_NE(library.CreateDevice(handle, a, b), 0);
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_EQ(reported[0].message, "File not found: NoSuchPortline.dll");
  EXPECT_EQ(reported[0].number, 53);
}

TEST_F(Binding, ALibraryThatIsThereButWillNotLoadIsAnErrorInLoadingTheDll) {
  // Not a DLL for this process: as a 32-bit library or a broken copy would be.
  char folder[MAX_PATH] = {};
  ASSERT_NE(GetTempPathA(MAX_PATH, folder), 0u);
  const std::string path = std::string(folder) + "PortlineUSB-broken-" + std::to_string(GetCurrentProcessId()) + ".dll";
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  const char header[] = "MZ this is no loadable library";
  DWORD written = 0;
  WriteFile(file, header, sizeof header, &written, nullptr);
  CloseHandle(file);
  {
    PortlineLibrary library(path, &Record);
    std::int32_t handle = 0, a = 0, b = 0;
    EXPECT_NE(library.CreateDevice(handle, a, b), 0);
  }
  DeleteFileA(path.c_str());
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_EQ(reported[0].message, "Error in loading DLL");
  EXPECT_EQ(reported[0].number, 48);
}

TEST_F(Binding, AMissingFunctionIsReportedByItsName) {
  PortlineLibrary library("kernel32.dll", &Record);
  std::int32_t handle = 0;
  std::uint8_t buffer[65] = {};
  EXPECT_EQ(library.ReadFile(handle, buffer), kDeviceFailure);
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_EQ(reported[0].message, "Can't find DLL entry point PortlineUsbReadFile in kernel32.dll");
  EXPECT_EQ(reported[0].number, 453);
}

TEST_F(Binding, CallsReachTheLibraryWithTheHandleCellByReference) {
  PortlineLibrary library(PORTLINE_REAL_DLL, &Record);
  std::int32_t handle = 77, status = 0, found = -1;
  EXPECT_EQ(library.CreateDevice(handle, status, found), 1) << "no Portline device here";
  EXPECT_TRUE(library.Loaded());
  EXPECT_EQ(found, 0) << "the library wrote through the reference";
  EXPECT_EQ(handle, 77);
  std::uint8_t buffer[65] = {};
  std::int32_t count = 3;
  EXPECT_EQ(library.ReadFile(handle, buffer), kDeviceFailure);
  EXPECT_EQ(library.WriteFile(handle, buffer, count), kDeviceFailure);
  EXPECT_EQ(library.CloseDevice(handle), kDeviceFailure);
  EXPECT_TRUE(reported.empty());
}

}  // namespace
}  // namespace seamlog::link
