// The verifier catches what it claims to catch: each case puts one faulty
// routine in place of the driver's own and expects the matching report.
// Without these, a silent verifier would let every other test pass.
#include <cctype>
#include <functional>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Harness.h"
#include "CaseName.h"
#include "Portline.h"

using namespace kmodel;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace {

PDEVICE_OBJECT LowerOf(PDEVICE_OBJECT device) { return ExtensionOf(device)->LowerDeviceObject; }

NTSTATUS NTAPI CompletesTwice(PDEVICE_OBJECT, PIRP irp) {
  CompleteRequest(irp, STATUS_SUCCESS, 0);
  return CompleteRequest(irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI CompletesWithPending(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_PENDING;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_PENDING;
}

NTSTATUS NTAPI ReturnsPendingUnmarked(PDEVICE_OBJECT, PIRP irp) {
  CompleteRequest(irp, STATUS_SUCCESS, 0);
  return STATUS_PENDING;
}

NTSTATUS NTAPI MarksPendingReturnsSuccess(PDEVICE_OBJECT, PIRP irp) {
  IoMarkIrpPending(irp);
  return CompleteRequest(irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI ReturnsOtherThanItCompleted(PDEVICE_OBJECT, PIRP irp) {
  CompleteRequest(irp, STATUS_INVALID_PARAMETER, 0);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI TouchesAfterHandingDown(PDEVICE_OBJECT device, PIRP irp) {
  IoMarkIrpPending(irp);
  IoSkipCurrentIrpStackLocation(irp);
  IoCallDriver(LowerOf(device), irp);  // a PnP request the bus pends
  irp->IoStatus.Information = 1;       // but it is no longer ours
  return STATUS_PENDING;
}

NTSTATUS NTAPI ForgetsToPropagate(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_SUCCESS; }

NTSTATUS NTAPI PassesDownWithoutPropagating(PDEVICE_OBJECT device, PIRP irp) {
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, ForgetsToPropagate, nullptr, TRUE, TRUE, TRUE);
  return IoCallDriver(LowerOf(device), irp);
}

NTSTATUS NTAPI FreesForeignIrp(PDEVICE_OBJECT, PIRP irp) {
  IoFreeIrp(irp);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI CompletesOwnAllocatedIrp(PDEVICE_OBJECT device, PIRP irp) {
  PIRP own = IoAllocateIrp(device->StackSize, FALSE);
  own->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(own, IO_NO_INCREMENT);
  return CompleteRequest(irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI SendsOwnIrpWithoutCompletionRoutine(PDEVICE_OBJECT device, PIRP irp) {
  PIRP own = IoAllocateIrp(LowerOf(device)->StackSize, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(own);
  next->MajorFunction = IRP_MJ_PNP;
  next->MinorFunction = IRP_MN_QUERY_CAPABILITIES + 0x20;  // a minor nobody answers
  own->IoStatus.Status = STATUS_NOT_SUPPORTED;
  IoCallDriver(LowerOf(device), own);
  return CompleteRequest(irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI WaitsAtDispatchLevel(PDEVICE_OBJECT, PIRP irp) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, TRUE);
  {
    AtDispatchLevel raised;
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  }
  return CompleteRequest(irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI PowerWithoutStartNext(PDEVICE_OBJECT device, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(LowerOf(device), irp);
}

NTSTATUS NTAPI RemovesWithoutDelete(PDEVICE_OBJECT device, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(LowerOf(device), irp);
}

NTSTATUS NTAPI DeletesBeforeDetach(PDEVICE_OBJECT device, PIRP irp) {
  PDEVICE_OBJECT lower = LowerOf(device);
  IoSkipCurrentIrpStackLocation(irp);
  NTSTATUS status = IoCallDriver(lower, irp);
  IoDeleteDevice(device);
  IoDetachDevice(lower);
  return status;
}

NTSTATUS NTAPI DeletesTwice(PDEVICE_OBJECT device, PIRP irp) {
  PDEVICE_OBJECT lower = LowerOf(device);
  IoSkipCurrentIrpStackLocation(irp);
  NTSTATUS status = IoCallDriver(lower, irp);
  IoDetachDevice(lower);
  IoDeleteDevice(device);
  IoDeleteDevice(device);
  return status;
}

NTSTATUS NTAPI TouchesDeletedDevice(PDEVICE_OBJECT device, PIRP irp) {
  PDEVICE_OBJECT lower = LowerOf(device);
  IoSkipCurrentIrpStackLocation(irp);
  NTSTATUS status = IoCallDriver(lower, irp);
  IoDetachDevice(lower);
  IoDeleteDevice(device);
  ExtensionOf(device)->HaltedPipe = nullptr;  // what a late transfer completion would do
  return status;
}

NTSTATUS NTAPI ReleasesBusInterfaceAfterPassingRemovalDown(PDEVICE_OBJECT device, PIRP irp) {
  PDEVICE_EXTENSION ext = ExtensionOf(device);
  PDEVICE_OBJECT lower = ext->LowerDeviceObject;
  IoSkipCurrentIrpStackLocation(irp);
  NTSTATUS status = IoCallDriver(lower, irp);
  ReleaseBusInterface(&ext->BusInterface);
  IoSetDeviceInterfaceState(&ext->InterfaceName, FALSE);
  RtlFreeUnicodeString(&ext->InterfaceName);
  ExFreePoolWithTag(ext->ConfigDescriptor, PORTLINE_POOL_TAG);
  IoDetachDevice(lower);
  IoDeleteDevice(device);
  return status;
}

NTSTATUS NTAPI AsksTheSpeedThroughAReleasedInterface(PDEVICE_OBJECT device, PIRP irp) {
  USB_BUS_INTERFACE_USBDI_V1 copy = ExtensionOf(device)->BusInterface;
  ReleaseBusInterface(&ExtensionOf(device)->BusInterface);
  ExtensionOf(device)->BusInterfaceAvailable = FALSE;
  copy.IsDeviceHighSpeed(copy.BusContext);
  return CompleteRequest(irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI LeaksPool(PDEVICE_OBJECT, PIRP irp) {
  ExAllocatePoolWithTag(NonPagedPool, 24, PORTLINE_POOL_TAG);
  return CompleteRequest(irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI AddDeviceLeavingInitializing(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  NTSTATUS status = PortlineAddDevice(driver, pdo);
  TopOfStack(pdo)->Flags |= DO_DEVICE_INITIALIZING;
  return status;
}

struct Case {
  const char* name;
  std::function<void(Harness&)> run;
  const char* report;
};

void ControlWith(Harness& h, PDRIVER_DISPATCH routine) {
  h.Driver()->MajorFunction[IRP_MJ_DEVICE_CONTROL] = routine;
  h.Control(IOCTL_PORTLINE_IS_HIGH_SPEED, 4);
}

void RemoveWith(Harness& h, PDRIVER_DISPATCH routine) {
  h.Driver()->MajorFunction[IRP_MJ_PNP] = routine;
  h.Remove();
}

const Case kCases[] = {
    {"an IRP completed twice", [](Harness& h) { ControlWith(h, CompletesTwice); }, "completed twice"},
    {"completion with STATUS_PENDING", [](Harness& h) { ControlWith(h, CompletesWithPending); },
     "completed with STATUS_PENDING"},
    {"STATUS_PENDING without IoMarkIrpPending",
     [](Harness& h) { ControlWith(h, ReturnsPendingUnmarked); }, "without IoMarkIrpPending"},
    {"marked pending but not returned",
     [](Harness& h) { ControlWith(h, MarksPendingReturnsSuccess); }, "marked the IRP pending"},
    {"a return value other than the final status",
     [](Harness& h) { ControlWith(h, ReturnsOtherThanItCompleted); }, "but completed the IRP with"},
    {"touching an IRP after handing it down",
     [](Harness& h) {
       h.Driver()->MajorFunction[IRP_MJ_PNP] = TouchesAfterHandingDown;
       h.Pnp(IRP_MN_QUERY_STOP_DEVICE);
     },
     // Whether the bus still holds it or has completed it already, the touch is caught.
     "touched"},
    {"a completion routine that does not propagate pending",
     [](Harness& h) {
       h.Driver()->MajorFunction[IRP_MJ_PNP] = PassesDownWithoutPropagating;
       h.Pnp(IRP_MN_QUERY_STOP_DEVICE);
     },
     "did not propagate pending"},
    {"IoFreeIrp on a foreign IRP", [](Harness& h) { ControlWith(h, FreesForeignIrp); },
     "did not allocate"},
    {"completing an IRP from IoAllocateIrp",
     [](Harness& h) { ControlWith(h, CompletesOwnAllocatedIrp); }, "from IoAllocateIrp was completed"},
    {"an allocated IRP sent without a completion routine",
     [](Harness& h) { ControlWith(h, SendsOwnIrpWithoutCompletionRoutine); },
     "sent down without a completion routine"},
    {"waiting at raised IRQL", [](Harness& h) { ControlWith(h, WaitsAtDispatchLevel); },
     "waiting at raised IRQL"},
    {"a power IRP without PoStartNextPowerIrp",
     [](Harness& h) {
       h.Driver()->MajorFunction[IRP_MJ_POWER] = PowerWithoutStartNext;
       h.SetDevicePower(PowerDeviceD0);
     },
     "without PoStartNextPowerIrp"},
    {"removal without detach and delete", [](Harness& h) { RemoveWith(h, RemovesWithoutDelete); },
     "deleted 0 times"},
    {"delete before detach", [](Harness& h) { RemoveWith(h, DeletesBeforeDetach); },
     "delete before detach"},
    {"a double delete", [](Harness& h) { RemoveWith(h, DeletesTwice); }, "deleted twice"},
    {"a deleted device touched afterwards", [](Harness& h) { RemoveWith(h, TouchesDeletedDevice); },
     "deleted device object"},
    {"the bus interface released after the removal went down",
     [](Harness& h) { RemoveWith(h, ReleasesBusInterfaceAfterPassingRemovalDown); },
     "InterfaceDereference called after the removal reached the bus"},
    {"a call through a released bus interface",
     [](Harness& h) { ControlWith(h, AsksTheSpeedThroughAReleasedInterface); },
     "IsDeviceHighSpeed called after its last reference was given back"},
    {"pool left after removal", [](Harness& h) { ControlWith(h, LeaksPool); },
     "pool left allocated after removal: 'Wdm ' 24 bytes"},
};

class VerifierCatches : public ::testing::TestWithParam<Case> {};

}  // namespace

TEST_P(VerifierCatches, TheFaultAndNamesIt) {
  BusConfig config;
  config.completion = Completion::Pended;
  Harness h(config);
  ASSERT_EQ(h.Arrive(), STATUS_SUCCESS);
  Handle file;
  ASSERT_EQ(h.Open(&file), STATUS_SUCCESS);
  GetParam().run(h);
  EXPECT_THAT(h.Finish(), Contains(HasSubstr(GetParam().report))) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(EachRule, VerifierCatches, ::testing::ValuesIn(kCases), CaseName());

TEST(VerifierCatchesAddDevice, DoDeviceInitializingLeftSet) {
  Harness h;
  h.Driver()->DriverExtension->AddDevice = AddDeviceLeavingInitializing;
  ASSERT_EQ(h.AddDevice(), STATUS_SUCCESS);
  EXPECT_THAT(h.Finish(), Contains(HasSubstr("DO_DEVICE_INITIALIZING left set")));
}

TEST(VerifierCatchesAddDevice, NothingOnTheDriverAsWritten) {
  Harness h;
  ASSERT_EQ(h.Arrive(), STATUS_SUCCESS);
  EXPECT_THAT(h.Finish(), IsEmpty());
}
