// The table of open devices, the claims that keep one splicer to one
// program, and how a found device picks its backend.
#include "device_table.h"
#include "device_list_seam.h"
#include "splicer_finder.h"

#include <dbt.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace portline {
namespace {

// Pipes that do nothing; reads stay pending. Cancelling can be made to wait
// for the test.
class QuietPipes final : public PipeIo {
 public:
  explicit QuietPipes(std::function<void()> onCancel = nullptr) : onCancel_(std::move(onCancel)) {}
  bool StartRead(std::uint8_t*, DWORD, OVERLAPPED& operation) override {
    pending_ = &operation;
    SetLastError(ERROR_IO_PENDING);
    return false;
  }
  bool StartWrite(const std::uint8_t*, DWORD length, OVERLAPPED& operation) override {
    operation.InternalHigh = length;
    SetEvent(operation.hEvent);
    return true;
  }
  bool Result(OVERLAPPED& operation, DWORD& moved) override {
    if (&operation == pending_) {
      SetLastError(ERROR_IO_INCOMPLETE);
      return false;
    }
    moved = static_cast<DWORD>(operation.InternalHigh);
    return true;
  }
  void Cancel(OVERLAPPED& operation) override {
    if (onCancel_) onCancel_();
    if (&operation == pending_) pending_ = nullptr;
    SetEvent(operation.hEvent);
  }
  void Recover(bool) override {}
  void Release() override {}

 private:
  std::function<void()> onCancel_;
  OVERLAPPED* pending_ = nullptr;
};

std::unique_ptr<OpenDevice> Device(std::function<void()> onCancel = nullptr) {
  auto device = std::make_unique<OpenDevice>();
  EXPECT_TRUE(device->channel.Open(std::make_unique<QuietPipes>(std::move(onCancel))));
  return device;
}

std::int32_t ReadFrom(DeviceTable& table, std::int32_t handle) {
  std::uint8_t buffer[65] = {};
  return table.With(handle, [&](DeviceChannel& channel) { return channel.Read(buffer); });
}

TEST(DeviceTable, AHandleKeptAfterItsCloseNeverReachesTheNextDeviceInThatSlot) {
  DeviceTable table;
  const std::int32_t first = table.Add(Device());
  ASSERT_GT(first, 0);
  ASSERT_NE(table.Remove(first), nullptr);
  const std::int32_t second = table.Add(Device());
  ASSERT_GT(second, 0);
  EXPECT_NE(second, first);
  EXPECT_EQ(ReadFrom(table, first), kFailure);
  EXPECT_EQ(table.Remove(first), nullptr) << "a stale close must not close the new device";
  EXPECT_EQ(ReadFrom(table, second), 0) << "the new device is still open";
}

TEST(DeviceTable, HandsOutEightHandlesAndRefusesANinth) {
  DeviceTable table;
  std::vector<std::int32_t> handles;
  for (int i = 0; i < 8; ++i) handles.push_back(table.Add(Device()));
  for (std::int32_t h : handles) EXPECT_GT(h, 0);
  EXPECT_EQ(table.Add(Device()), 0);
  for (std::int32_t bad : {0, -1, 9, 0x7fffffff, handles[0] + 16})
    EXPECT_EQ(ReadFrom(table, bad), kFailure) << bad;
}

TEST(DeviceTable, ADeviceBeingClosedHoldsUpNoCallOnAnother) {
  DeviceTable table;
  HANDLE cancelling = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE otherRead = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  bool readWhileClosing = false;
  const std::int32_t closing = table.Add(Device([&] {
    SetEvent(cancelling);
    readWhileClosing = WaitForSingleObject(otherRead, 10000) == WAIT_OBJECT_0;
  }));
  const std::int32_t other = table.Add(Device());
  ASSERT_EQ(ReadFrom(table, closing), 0);  // a read pending, to be cancelled on close

  struct Closer {
    DeviceTable* table;
    std::int32_t handle;
  } closer{&table, closing};
  HANDLE thread = CreateThread(
      nullptr, 0,
      [](void* p) -> DWORD {
        auto* c = static_cast<Closer*>(p);
        c->table->Remove(c->handle).reset();
        return 0;
      },
      &closer, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  ASSERT_EQ(WaitForSingleObject(cancelling, 10000), WAIT_OBJECT_0);
  EXPECT_EQ(ReadFrom(table, other), 0);
  SetEvent(otherRead);
  WaitForSingleObject(thread, INFINITE);
  EXPECT_TRUE(readWhileClosing) << "the other device was read while the first was closing";
  CloseHandle(thread);
  CloseHandle(cancelling);
  CloseHandle(otherRead);
}

// A write that waits for its device (a slow splicer) holds up no read on
// another device: each call holds only its own device's lock.
TEST(DeviceTable, ACallThatWaitsOnOneDeviceHoldsUpNoCallOnAnother) {
  DeviceTable table;
  const std::int32_t slow = table.Add(Device());
  const std::int32_t other = table.Add(Device());
  HANDLE waiting = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE otherRead = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  struct Caller {
    DeviceTable* table;
    std::int32_t handle;
    HANDLE waiting, otherRead;
    bool readWhileWaiting = false;
  } caller{&table, slow, waiting, otherRead};
  HANDLE thread = CreateThread(
      nullptr, 0,
      [](void* p) -> DWORD {
        auto* c = static_cast<Caller*>(p);
        c->table->With(c->handle, [&](DeviceChannel&) {
          SetEvent(c->waiting);
          c->readWhileWaiting = WaitForSingleObject(c->otherRead, 10000) == WAIT_OBJECT_0;
          return 0;
        });
        return 0;
      },
      &caller, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  ASSERT_EQ(WaitForSingleObject(waiting, 10000), WAIT_OBJECT_0);
  EXPECT_EQ(ReadFrom(table, other), 0);
  SetEvent(otherRead);
  WaitForSingleObject(thread, INFINITE);
  EXPECT_TRUE(caller.readWhileWaiting) << "the other device was read while the first call waited";
  CloseHandle(thread);
  CloseHandle(waiting);
  CloseHandle(otherRead);
}

// What Windows sends the notice window about a registered device handle.
LRESULT Notify(HWND window, WPARAM event, HANDLE file, DWORD type = DBT_DEVTYP_HANDLE) {
  DEV_BROADCAST_HANDLE notice{};
  notice.dbch_size = sizeof notice;
  notice.dbch_devicetype = type;
  notice.dbch_handle = file;
  return SendMessageW(window, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(&notice));
}

// Stand-ins for two devices' file handles: the notices name them by value.
struct TwoFiles {
  TwoFiles()
      : first(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
        second(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~TwoFiles() {
    CloseHandle(first);
    CloseHandle(second);
  }
  HANDLE first, second;
};

TEST(DeviceNotice, AQueryRemoveWithdrawsTheNoticeThenClosesThatDeviceAndNoOther) {
  DeviceTable table;
  HWND window = table.NoticeWindow();
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(table.NoticeWindow(), window) << "one window for the table";
  TwoFiles files;
  OpenDevice* going = nullptr;
  bool cancelled = false, withdrawnFirst = false;
  auto first = Device([&] {
    cancelled = true;
    withdrawnFirst = !going->notice.Watches(files.first);
  });
  going = first.get();
  first->notice.Watch(window, files.first);
  auto second = Device();
  second->notice.Watch(window, files.second);
  const std::int32_t removed = table.Add(std::move(first));
  const std::int32_t kept = table.Add(std::move(second));
  ASSERT_EQ(ReadFrom(table, removed), 0);  // a read pending, to be cancelled

  EXPECT_EQ(Notify(window, DBT_DEVICEQUERYREMOVE, files.first), TRUE) << "a removal is never refused";
  EXPECT_TRUE(cancelled) << "the pending read was cancelled";
  EXPECT_TRUE(withdrawnFirst) << "the notice was withdrawn before the handle closed";
  EXPECT_EQ(ReadFrom(table, removed), kFailure) << "later reads fail, so the program reconnects";
  EXPECT_EQ(ReadFrom(table, kept), 0) << "the other device is still open";
  std::unique_ptr<OpenDevice> closed = table.Remove(removed);
  ASSERT_NE(closed, nullptr) << "the handle names its slot until the program closes it";
  EXPECT_FALSE(closed->channel.IsOpen());
}

TEST(DeviceNotice, OnlyAQueryRemoveOrARemovalOfThatHandleClosesTheDevice) {
  struct Row {
    WPARAM event;
    DWORD type;
    bool closes;
  };
  const Row rows[] = {
      {DBT_DEVICEQUERYREMOVE, DBT_DEVTYP_HANDLE, true},
      {DBT_DEVICEREMOVEPENDING, DBT_DEVTYP_HANDLE, true},
      {DBT_DEVICEREMOVECOMPLETE, DBT_DEVTYP_HANDLE, true},
      {DBT_DEVICEQUERYREMOVEFAILED, DBT_DEVTYP_HANDLE, false},  // the reconnect reopens
      {DBT_CUSTOMEVENT, DBT_DEVTYP_HANDLE, false},
      {DBT_DEVICEQUERYREMOVE, DBT_DEVTYP_DEVICEINTERFACE, false},
  };
  for (const Row& row : rows) {
    DeviceTable table;
    HWND window = table.NoticeWindow();
    ASSERT_NE(window, nullptr);
    TwoFiles files;
    auto device = Device();
    device->notice.Watch(window, files.first);
    const std::int32_t handle = table.Add(std::move(device));
    ASSERT_EQ(ReadFrom(table, handle), 0);
    Notify(window, row.event, files.second, row.type);
    EXPECT_EQ(ReadFrom(table, handle), 0)
        << "a notice about another handle closes nothing (event " << row.event << ")";
    EXPECT_EQ(Notify(window, row.event, files.first, row.type), TRUE);
    EXPECT_EQ(ReadFrom(table, handle), row.closes ? kFailure : 0)
        << "event " << row.event << " type " << row.type;
  }
}

TEST(DeviceNotice, TheWindowGoesWithTheLastDeviceAndComesBackWithTheNext) {
  DeviceTable table;
  HWND window = table.NoticeWindow();
  ASSERT_NE(window, nullptr);
  const std::int32_t handle = table.Add(Device());
  table.DropIdleNoticeWindow();
  EXPECT_TRUE(IsWindow(window)) << "a device is still open";
  table.Remove(handle).reset();
  table.DropIdleNoticeWindow();
  EXPECT_FALSE(IsWindow(window)) << "no window outlives the last device";
  HWND again = table.NoticeWindow();
  EXPECT_NE(again, nullptr);
  EXPECT_TRUE(IsWindow(again));
}

std::wstring UniquePath(const wchar_t* tail) {
  return L"\\\\?\\usb#vid_0000&pid_0000#test-" + std::to_wstring(GetCurrentProcessId()) + tail;
}

TEST(DeviceClaim, ASplicerHeldByOneOwnerIsRefusedToAnother) {
  const std::wstring path = UniquePath(L"#{97a9b336-b532-44ef-9065-be34d2228a20}");
  DeviceClaim first, second;
  ASSERT_TRUE(first.Take(path));
  EXPECT_FALSE(second.Take(path));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BUSY));
  std::wstring upper = path;
  for (auto& c : upper) c = static_cast<wchar_t>(towupper(c));
  EXPECT_FALSE(second.Take(upper)) << "device paths are compared without case";
  EXPECT_TRUE(DeviceClaim().Take(UniquePath(L"#another"))) << "another splicer is free";
  first.Drop();
  EXPECT_TRUE(second.Take(path)) << "a dropped claim frees the splicer";
}

TEST(DeviceClaim, TheNameLivesInThisSessionAndNamesThisUser) {
  const std::wstring sid = DeviceClaim::UserSid();
  ASSERT_EQ(sid.rfind(L"S-1-", 0), 0u);
  const std::wstring name = DeviceClaim::NameFor(UniquePath(L"#x"));
  EXPECT_EQ(name.rfind(L"Local\\PortlineUSB-" + sid + L"-", 0), 0u) << std::string(name.begin(), name.end());
  EXPECT_EQ(name.size(), std::wstring(L"Local\\PortlineUSB-").size() + sid.size() + 1 + 16);
  EXPECT_NE(name, DeviceClaim::NameFor(UniquePath(L"#y")));
}

TEST(DeviceClaim, ANameTakenByAnEventIsReportedAsTakenNotAsAHeldSplicer) {
  const std::wstring path = UniquePath(L"#squatted");
  HANDLE squatter = CreateEventW(nullptr, TRUE, FALSE, DeviceClaim::NameFor(path).c_str());
  ASSERT_NE(squatter, nullptr);
  DeviceClaim claim;
  EXPECT_FALSE(claim.Take(path));
  EXPECT_EQ(GetLastError(), kClaimNameTaken);
  EXPECT_FALSE(claim.Held());
  CloseHandle(squatter);
  EXPECT_TRUE(claim.Take(path)) << "the name is free again";
}

TEST(SplicerFinder, TheServiceNameChoosesTheBackendAndTheTestListIsParsedWhole) {
  EXPECT_EQ(BackendForService(L"WinUSB"), Backend::WinUsb);
  EXPECT_EQ(BackendForService(L"winusb"), Backend::WinUsb);
  EXPECT_EQ(BackendForService(L"Portline"), Backend::Portline);
  EXPECT_EQ(BackendForService(L"WinUSB2"), Backend::Portline);
  EXPECT_EQ(BackendForService(L""), Backend::Portline);

  const auto found = ParseDeviceList(L"WinUSB=Z:\\tmp\\a=b.dev|junk||Portline=\\\\.\\pipe\\x|WinUSB=");
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].path, L"Z:\\tmp\\a=b.dev");
  EXPECT_EQ(found[0].backend, Backend::WinUsb);
  EXPECT_EQ(found[1].path, L"\\\\.\\pipe\\x");
  EXPECT_EQ(found[1].backend, Backend::Portline);
}

}  // namespace
}  // namespace portline
