// The two USBD library routines the driver calls. The driver's object code
// reaches them through import pointers (__imp_...), as it would in usbd.sys.
#include <cstring>

#include "Kernel.h"

using namespace kmodel;

namespace {

const UCHAR kInterfaceType = USB_INTERFACE_DESCRIPTOR_TYPE;

// Walks the descriptors from `start` within the configuration's wTotalLength
// and returns the first interface descriptor that matches, or null. A
// malformed walk (a descriptor of length 0, or one that runs past the end)
// is reported: the driver must validate what the device sent before parsing.
PUSB_INTERFACE_DESCRIPTOR NTAPI ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol) {
  auto* base = reinterpret_cast<PUCHAR>(ConfigurationDescriptor);
  const ULONG total = ConfigurationDescriptor->wTotalLength;
  ULONG offset = static_cast<ULONG>(static_cast<PUCHAR>(StartPosition) - base);
  while (offset < total) {
    const UCHAR length = base[offset];
    if (length < 2 || offset + length > total) {
      Violation("USBD_ParseConfigurationDescriptorEx walked a malformed descriptor at offset %lu "
                "(length %u): the descriptor was not validated",
                static_cast<unsigned long>(offset), length);
      return nullptr;
    }
    if (base[offset + 1] == kInterfaceType) {
      auto* found = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(base + offset);
      if (length < sizeof(USB_INTERFACE_DESCRIPTOR)) {
        Violation("USBD_ParseConfigurationDescriptorEx met a truncated interface descriptor");
        return nullptr;
      }
      if ((InterfaceNumber == -1 || found->bInterfaceNumber == InterfaceNumber) &&
          (AlternateSetting == -1 || found->bAlternateSetting == AlternateSetting) &&
          (InterfaceClass == -1 || found->bInterfaceClass == InterfaceClass) &&
          (InterfaceSubClass == -1 || found->bInterfaceSubClass == InterfaceSubClass) &&
          (InterfaceProtocol == -1 || found->bInterfaceProtocol == InterfaceProtocol)) {
        return found;
      }
    }
    offset += length;
  }
  return nullptr;
}

// Builds a select-configuration URB with one USBD_INTERFACE_INFORMATION per
// list entry (up to the first null descriptor) and points each entry at it.
PURB NTAPI CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                        PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
  std::size_t size = sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
  for (auto* e = InterfaceList; e->InterfaceDescriptor != nullptr; ++e) {
    const ULONG pipes = e->InterfaceDescriptor->bNumEndpoints;
    size += sizeof(USBD_INTERFACE_INFORMATION) +
            (pipes > 0 ? pipes - 1 : 0) * sizeof(USBD_PIPE_INFORMATION);
  }
  if (size < sizeof(struct _URB_SELECT_CONFIGURATION)) size = sizeof(struct _URB_SELECT_CONFIGURATION);
  auto* urb = static_cast<PURB>(ModelPoolAllocate(size, 0x44425355 /* "USBD" */));
  std::memset(urb, 0, size);
  urb->UrbHeader.Length = static_cast<USHORT>(size);
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;
  auto* info = &urb->UrbSelectConfiguration.Interface;
  for (auto* e = InterfaceList; e->InterfaceDescriptor != nullptr; ++e) {
    const ULONG pipes = e->InterfaceDescriptor->bNumEndpoints;
    info->Length = static_cast<USHORT>(sizeof(USBD_INTERFACE_INFORMATION) +
                                       (pipes > 0 ? pipes - 1 : 0) * sizeof(USBD_PIPE_INFORMATION));
    info->InterfaceNumber = e->InterfaceDescriptor->bInterfaceNumber;
    info->AlternateSetting = e->InterfaceDescriptor->bAlternateSetting;
    info->NumberOfPipes = pipes;
    for (ULONG i = 0; i < pipes; ++i) {
      info->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    }
    e->Interface = info;
    info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(info) + info->Length);
  }
  return urb;
}

// USBD_CreateConfigurationRequestEx is a fault-injection site, told apart
// by the driver's own call site.
PURB NTAPI CreateConfigurationRequestExSite(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                            PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
  if (ShouldFailAllocation(AllocationKind::ConfigurationRequest, __builtin_return_address(0))) return nullptr;
  return CreateConfigurationRequestEx(ConfigurationDescriptor, InterfaceList);
}
}  // namespace

extern "C" {
// The driver's calls go through these, as through the import table of usbd.sys.
void* __imp_USBD_ParseConfigurationDescriptorEx =
    reinterpret_cast<void*>(&ParseConfigurationDescriptorEx);
void* __imp_USBD_CreateConfigurationRequestEx =
    reinterpret_cast<void*>(&CreateConfigurationRequestExSite);
}
