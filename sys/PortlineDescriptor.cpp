// Checks a configuration descriptor that came from the device before anything
// parses it: the device is not trusted to describe itself sanely.
#include "Portline.h"

namespace {

const UCHAR kInterfaceClassSelected = 0;

inline ULONG ReadWord(const UCHAR* at) {
  return static_cast<ULONG>(at[0]) | (static_cast<ULONG>(at[1]) << 8);
}

// Every descriptor lies wholly inside the block, is at least two bytes long,
// and interface and endpoint descriptors are at least their full size.
bool DescriptorsAreWellFormed(const UCHAR* descriptor, ULONG length) {
  ULONG offset = 0;
  while (offset < length) {
    if (length - offset < 2) {
      return false;
    }
    const ULONG size = descriptor[offset];
    const UCHAR type = descriptor[offset + 1];
    if (size < 2 || size > length - offset) {
      return false;
    }
    if (type == USB_INTERFACE_DESCRIPTOR_TYPE && size < sizeof(USB_INTERFACE_DESCRIPTOR)) {
      return false;
    }
    if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && size < sizeof(USB_ENDPOINT_DESCRIPTOR)) {
      return false;
    }
    offset += size;
  }
  return true;
}

// Offset of the first interface descriptor of the selected class, the one the
// select-configuration request will use, or `length` when there is none.
ULONG FindSelectedInterface(const UCHAR* descriptor, ULONG length) {
  for (ULONG offset = descriptor[0]; offset < length; offset += descriptor[offset]) {
    if (descriptor[offset + 1] == USB_INTERFACE_DESCRIPTOR_TYPE &&
        reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(descriptor + offset)->bInterfaceClass ==
            kInterfaceClassSelected) {
      return offset;
    }
  }
  return length;
}

// The interface's bNumEndpoints endpoint descriptors follow it before the
// next interface descriptor, and among them are a bulk IN and a bulk OUT pipe.
bool InterfaceHasBulkPair(const UCHAR* descriptor, ULONG length, ULONG interfaceOffset) {
  const ULONG expected =
      reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(descriptor + interfaceOffset)->bNumEndpoints;
  ULONG found = 0;
  bool bulkIn = false;
  bool bulkOut = false;
  for (ULONG offset = interfaceOffset + descriptor[interfaceOffset];
       offset < length && found < expected; offset += descriptor[offset]) {
    const UCHAR type = descriptor[offset + 1];
    if (type == USB_INTERFACE_DESCRIPTOR_TYPE) {
      break;
    }
    if (type != USB_ENDPOINT_DESCRIPTOR_TYPE) {
      continue;
    }
    ++found;
    const USB_ENDPOINT_DESCRIPTOR* endpoint =
        reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(descriptor + offset);
    if ((endpoint->bmAttributes & USB_ENDPOINT_TYPE_MASK) != USB_ENDPOINT_TYPE_BULK) {
      continue;
    }
    if (endpoint->bEndpointAddress & USB_ENDPOINT_DIRECTION_MASK) {
      bulkIn = true;
    } else {
      bulkOut = true;
    }
  }
  return found == expected && bulkIn && bulkOut;
}

}  // namespace

// ValidateConfigurationDescriptor: STATUS_SUCCESS when the whole descriptor of
// Length bytes can be parsed safely and its first interface of class 0 has a
// bulk IN and a bulk OUT pipe; STATUS_DEVICE_CONFIGURATION_ERROR otherwise.
// Any IRQL; touches nothing but the block.
extern "C" NTSTATUS ValidateConfigurationDescriptor(const UCHAR* Descriptor, ULONG Length) {
  if (Length < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
      Descriptor[0] < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
      Descriptor[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
      ReadWord(Descriptor + 2) != Length) {
    return STATUS_DEVICE_CONFIGURATION_ERROR;
  }
  if (!DescriptorsAreWellFormed(Descriptor, Length)) {
    return STATUS_DEVICE_CONFIGURATION_ERROR;
  }
  const ULONG interfaceOffset = FindSelectedInterface(Descriptor, Length);
  if (interfaceOffset == Length || !InterfaceHasBulkPair(Descriptor, Length, interfaceOffset)) {
    return STATUS_DEVICE_CONFIGURATION_ERROR;
  }
  return STATUS_SUCCESS;
}
