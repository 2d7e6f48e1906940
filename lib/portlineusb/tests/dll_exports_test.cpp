// The builds of PortlineUSB.dll (shipped, its test build, the simulated
// splicer), loaded and called the way Seamlog calls them.
#include <windows.h>
#include <dbt.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "device_claim.h"

namespace {

using CreateFn = std::int32_t(__stdcall*)(std::int32_t*, std::int32_t*, std::int32_t*);
using ReadFn = std::int32_t(__stdcall*)(std::int32_t*, std::uint8_t*);
using WriteFn = std::int32_t(__stdcall*)(std::int32_t*, std::uint8_t*, std::int32_t*);
using CloseFn = std::int32_t(__stdcall*)(std::int32_t*);

struct Library {
  explicit Library(const std::string& path) : module(LoadLibraryA(path.c_str())) {}
  ~Library() {
    if (module != nullptr) FreeLibrary(module);
  }
  template <typename Fn>
  Fn Get(const char* name) const {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  }
  HMODULE module;
};

std::string Slurp(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(RealLibrary, WithNoPortlineDevicePresentCreateFailsCleanly) {
  Library dll(PORTLINE_REAL_DLL);
  ASSERT_NE(dll.module, nullptr);
  auto create = dll.Get<CreateFn>("PortlineUsbCreateDevice");
  ASSERT_NE(create, nullptr);
  std::int32_t handle = 1234, status = 0, found = 0;
  EXPECT_EQ(create(&handle, &status, &found), 1);
  EXPECT_EQ(handle, 1234) << "a failed create leaves the handle cell alone";
  EXPECT_EQ(found, 0);
  EXPECT_NE(status, 0);
}

TEST(RealLibrary, CallsWithAHandleThatNamesNoDeviceReturn9999) {
  Library dll(PORTLINE_REAL_DLL);
  ASSERT_NE(dll.module, nullptr);
  std::uint8_t buffer[65] = {};
  std::int32_t count = 5;
  for (std::int32_t handle : {0, 1, 8, 9, -1, 0x7fffffff}) {
    EXPECT_EQ(dll.Get<ReadFn>("PortlineUsbReadFile")(&handle, buffer), 9999) << handle;
    EXPECT_EQ(dll.Get<WriteFn>("PortlineUsbWriteFile")(&handle, buffer, &count), 9999) << handle;
    EXPECT_EQ(dll.Get<CloseFn>("PortlineUsbCloseDevice")(&handle), 9999) << handle;
  }
}

// A named pipe standing in for one Portline splicer, offered to the library
// through PORTLINEUSB_DEVICES; INVALID_HANDLE_VALUE when it cannot be made.
HANDLE OfferPipeAsSplicer(const std::string& prefix) {
  const std::string pipe = prefix + std::to_string(GetCurrentProcessId());
  HANDLE server = CreateNamedPipeA(pipe.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED, PIPE_TYPE_BYTE, 1, 4096,
                                   4096, 0, nullptr);
  if (server != INVALID_HANDLE_VALUE) SetEnvironmentVariableA("PORTLINEUSB_DEVICES", ("Portline=" + pipe).c_str());
  return server;
}

// A splicer stand-in (a named pipe) listed in PORTLINEUSB_DEVICES: the test
// build of the library opens it, the shipped one never looks there.
TEST(RealLibrary, OnlyTheTestBuildTakesItsSplicersFromTheEnvironment) {
  const HANDLE server = OfferPipeAsSplicer("\\\\.\\pipe\\portline-seam-");
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  std::int32_t handle = 0, status = 0, found = 0;
  {
    Library shipped(PORTLINE_REAL_DLL);
    ASSERT_NE(shipped.module, nullptr);
    EXPECT_EQ(shipped.Get<CreateFn>("PortlineUsbCreateDevice")(&handle, &status, &found), 1);
    EXPECT_EQ(found, 0) << "the shipped library found the listed splicer";
  }
  {
    Library testBuild(PORTLINE_TEST_SEAM_DLL);
    ASSERT_NE(testBuild.module, nullptr);
    EXPECT_EQ(testBuild.Get<CreateFn>("PortlineUsbCreateDevice")(&handle, &status, &found), 0);
    EXPECT_EQ(found, 1);
    EXPECT_EQ(testBuild.Get<CloseFn>("PortlineUsbCloseDevice")(&handle), 0);
  }
  SetEnvironmentVariableA("PORTLINEUSB_DEVICES", nullptr);
  CloseHandle(server);
}

// Two splicers stand-ins: named pipes, listed through the test build's
// PORTLINEUSB_DEVICES, opened by the Portline backend.
TEST(RealLibrary, ASplicerAlreadyHeldIsSkippedAndAStaleHandleReachesNothing) {
  const std::string base = "\\\\.\\pipe\\portline-two-" + std::to_string(GetCurrentProcessId());
  std::vector<HANDLE> servers;
  for (const char* which : {"-a", "-a", "-b", "-b"})
    servers.push_back(CreateNamedPipeA((base + which).c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                       PIPE_TYPE_BYTE, 4, 4096, 4096, 0, nullptr));
  for (HANDLE server : servers) ASSERT_NE(server, INVALID_HANDLE_VALUE);
  SetEnvironmentVariableA("PORTLINEUSB_DEVICES", ("Portline=" + base + "-a|Portline=" + base + "-b").c_str());
  {
    Library dll(PORTLINE_TEST_SEAM_DLL);
    ASSERT_NE(dll.module, nullptr);
    auto create = dll.Get<CreateFn>("PortlineUsbCreateDevice");
    auto read = dll.Get<ReadFn>("PortlineUsbReadFile");
    auto close = dll.Get<CloseFn>("PortlineUsbCloseDevice");
    std::int32_t first = 0, second = 0, third = 0, status = 0, found = 0;
    ASSERT_EQ(create(&first, &status, &found), 0);
    EXPECT_EQ(found, 2);
    ASSERT_EQ(create(&second, &status, &found), 0) << "the held splicer is skipped for the free one";
    EXPECT_NE(first, second);
    EXPECT_EQ(create(&third, &status, &found), 5) << "every splicer is held";
    EXPECT_EQ(status, ERROR_BUSY);

    const std::int32_t stale = first;
    ASSERT_EQ(close(&first), 0);
    EXPECT_EQ(first, 0);
    ASSERT_EQ(create(&third, &status, &found), 0) << "a closed splicer is free again";
    std::int32_t kept = stale;
    std::uint8_t buffer[65] = {};
    EXPECT_EQ(read(&kept, buffer), 9999) << "the stale handle reaches nothing";
    EXPECT_EQ(close(&kept), 9999);
    EXPECT_EQ(read(&third, buffer), 0) << "the new device stays open";
    EXPECT_EQ(close(&third), 0);
    EXPECT_EQ(close(&second), 0);
  }
  SetEnvironmentVariableA("PORTLINEUSB_DEVICES", nullptr);
  for (HANDLE server : servers) CloseHandle(server);
}

// The library's hidden notice windows on this thread.
std::vector<HWND> NoticeWindows() {
  std::vector<HWND> found;
  for (HWND w = FindWindowExW(HWND_MESSAGE, nullptr, L"PortlineUSBNotice", nullptr); w != nullptr;
       w = FindWindowExW(HWND_MESSAGE, w, L"PortlineUSBNotice", nullptr))
    if (GetWindowThreadProcessId(w, nullptr) == GetCurrentThreadId()) found.push_back(w);
  return found;
}

// Windows asks whether the open splicer may go (a disable, a driver update):
// the notice naming the handle the library holds reaches its hidden window,
// which closes that handle at once. The test does not know the handle's
// value, so it asks about every value a handle can have until one is taken.
TEST(RealLibrary, AQueryToRemoveTheOpenSplicerClosesTheLibrarysHandleOnIt) {
  const HANDLE server = OfferPipeAsSplicer("\\\\.\\pipe\\portline-notice-");
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  {
    Library dll(PORTLINE_TEST_SEAM_DLL);
    ASSERT_NE(dll.module, nullptr);
    auto read = dll.Get<ReadFn>("PortlineUsbReadFile");
    auto close = dll.Get<CloseFn>("PortlineUsbCloseDevice");
    std::int32_t handle = 0, status = 0, found = 0;
    ASSERT_EQ(dll.Get<CreateFn>("PortlineUsbCreateDevice")(&handle, &status, &found), 0);
    std::uint8_t buffer[65] = {};
    ASSERT_EQ(read(&handle, buffer), 0) << "a read is pending";
    const std::vector<HWND> windows = NoticeWindows();
    ASSERT_EQ(windows.size(), 1u) << "the open device made one hidden window on the opening thread";
    DWORD avail = 0;
    ASSERT_TRUE(PeekNamedPipe(server, nullptr, 0, nullptr, &avail, nullptr)) << "the splicer is connected";

    std::int32_t result = 0;
    for (std::uintptr_t value = 4; value < 0x10000 && result == 0; value += 4) {
      DEV_BROADCAST_HANDLE notice{};
      notice.dbch_size = sizeof notice;
      notice.dbch_devicetype = DBT_DEVTYP_HANDLE;
      notice.dbch_handle = reinterpret_cast<HANDLE>(value);
      EXPECT_EQ(
          SendMessageW(windows[0], WM_DEVICECHANGE, DBT_DEVICEQUERYREMOVE, reinterpret_cast<LPARAM>(&notice)),
          TRUE);
      result = read(&handle, buffer);
    }
    EXPECT_EQ(result, 9999) << "after the query the device reads fail, so Seamlog reconnects";
    EXPECT_FALSE(PeekNamedPipe(server, nullptr, 0, nullptr, &avail, nullptr))
        << "the library's handle is closed";
    EXPECT_EQ(close(&handle), 0) << "the program's close still succeeds";
    EXPECT_TRUE(NoticeWindows().empty()) << "the window went with the last device";
  }
  SetEnvironmentVariableA("PORTLINEUSB_DEVICES", nullptr);
  CloseHandle(server);
}

// The claim name of the only splicer taken by an event: no Seamlog holds it,
// so the open fails (2) with the reason, not "held by another program" (5).
TEST(RealLibrary, ASquattedClaimNameIsAFailureWithItsReasonNotAHeldSplicer) {
  const std::string pipe = "\\\\.\\pipe\\portline-squat-" + std::to_string(GetCurrentProcessId());
  HANDLE server = CreateNamedPipeA(pipe.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED, PIPE_TYPE_BYTE, 1,
                                   4096, 4096, 0, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  SetEnvironmentVariableA("PORTLINEUSB_DEVICES", ("Portline=" + pipe).c_str());
  HANDLE squatter = CreateEventW(
      nullptr, TRUE, FALSE, portline::DeviceClaim::NameFor(std::wstring(pipe.begin(), pipe.end())).c_str());
  ASSERT_NE(squatter, nullptr);
  {
    Library dll(PORTLINE_TEST_SEAM_DLL);
    ASSERT_NE(dll.module, nullptr);
    std::int32_t handle = 0, status = 0, found = 0;
    EXPECT_EQ(dll.Get<CreateFn>("PortlineUsbCreateDevice")(&handle, &status, &found), 2);
    EXPECT_EQ(found, 1);
    EXPECT_EQ(status, static_cast<std::int32_t>(portline::kClaimNameTaken));
    CloseHandle(squatter);
    EXPECT_EQ(dll.Get<CreateFn>("PortlineUsbCreateDevice")(&handle, &status, &found), 0)
        << "the name is free again";
    EXPECT_EQ(dll.Get<CloseFn>("PortlineUsbCloseDevice")(&handle), 0);
  }
  SetEnvironmentVariableA("PORTLINEUSB_DEVICES", nullptr);
  CloseHandle(server);
}

// Unloading the library runs no device code under the loader lock: a device
// left open is neither cancelled nor closed (nor is winusb.dll called).
TEST(RealLibrary, UnloadingWithADeviceOpenTouchesNoDevice) {
  const HANDLE server = OfferPipeAsSplicer("\\\\.\\pipe\\portline-detach-");
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  {
    Library dll(PORTLINE_TEST_SEAM_DLL);
    ASSERT_NE(dll.module, nullptr);
    std::int32_t handle = 0, status = 0, found = 0;
    ASSERT_EQ(dll.Get<CreateFn>("PortlineUsbCreateDevice")(&handle, &status, &found), 0);
  }
  DWORD available = 0;
  EXPECT_TRUE(PeekNamedPipe(server, nullptr, 0, nullptr, &available, nullptr))
      << "the library closed the device while it was unloaded: " << GetLastError();
  SetEnvironmentVariableA("PORTLINEUSB_DEVICES", nullptr);
  CloseHandle(server);
}

class SimulatedLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::filesystem::temp_directory_path() /
              ("portline-sim-" + std::to_string(GetCurrentProcessId()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(folder_);
    std::filesystem::copy_file(PORTLINE_SIM_DLL, folder_ / "PortlineUSB.dll",
                               std::filesystem::copy_options::overwrite_existing);
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  void Write(const std::string& name, const std::string& text) {
    std::ofstream(folder_ / name, std::ios::binary) << text;
  }
  std::filesystem::path folder_;
};

TEST_F(SimulatedLibrary, ReplaysItsReportThroughTheFourCalls) {
  Write("report.txt", "first line\rsecond line\r");
  Write("PortlineSim.ini", "[Splicer]\r\nReportFile=report.txt\r\nBytesPerRead=5\r\nRefuseCreates=1\r\nCallLog=calls.log\r\n");
  std::string received;
  {
    Library dll((folder_ / "PortlineUSB.dll").string());
    ASSERT_NE(dll.module, nullptr);
    auto create = dll.Get<CreateFn>("PortlineUsbCreateDevice");
    auto read = dll.Get<ReadFn>("PortlineUsbReadFile");
    auto close = dll.Get<CloseFn>("PortlineUsbCloseDevice");
    std::int32_t handle = 0, a = 0, b = 0;
    EXPECT_NE(create(&handle, &a, &b), 0) << "the first create is refused";
    ASSERT_EQ(create(&handle, &a, &b), 0);
    for (int i = 0; i < 100; ++i) {
      std::uint8_t buffer[65] = {};
      const std::int32_t r = read(&handle, buffer);
      ASSERT_NE(r, 9999);
      ASSERT_LE(r, 5);
      if (r == 0) break;
      received.append(reinterpret_cast<char*>(buffer), static_cast<std::size_t>(r));
    }
    EXPECT_EQ(close(&handle), 0);
  }
  EXPECT_EQ(received, "first line\rsecond line\r");
  const std::string log = Slurp(folder_ / "calls.log");
  EXPECT_NE(log.find("create refused"), std::string::npos) << log;
  EXPECT_NE(log.find("create 0"), std::string::npos) << log;
  EXPECT_NE(log.find("close 0"), std::string::npos) << log;
}

TEST_F(SimulatedLibrary, BadSettingsRefuseEveryCreateAndSayWhy) {
  Write("report.txt", "x");
  Write("PortlineSim.ini", "[Splicer]\r\nReportFile=report.txt\r\nBytesPerRead=100\r\n");
  {
    Library dll((folder_ / "PortlineUSB.dll").string());
    ASSERT_NE(dll.module, nullptr);
    std::int32_t handle = 0, a = 0, b = 0;
    EXPECT_NE(dll.Get<CreateFn>("PortlineUsbCreateDevice")(&handle, &a, &b), 0);
    EXPECT_NE(dll.Get<CreateFn>("PortlineUsbCreateDevice")(&handle, &a, &b), 0);
  }
  EXPECT_NE(Slurp(folder_ / "PortlineSim.log").find("BytesPerRead"), std::string::npos);
}

TEST_F(SimulatedLibrary, AMissingReportFileIsNamedInItsLog) {
  Write("PortlineSim.ini", "[Splicer]\r\nReportFile=nowhere.txt\r\n");
  {
    Library dll((folder_ / "PortlineUSB.dll").string());
    std::int32_t handle = 0, a = 0, b = 0;
    EXPECT_NE(dll.Get<CreateFn>("PortlineUsbCreateDevice")(&handle, &a, &b), 0);
  }
  EXPECT_NE(Slurp(folder_ / "PortlineSim.log").find("nowhere.txt"), std::string::npos);
}

}  // namespace
