// The Portline driver's user-mode interface: the device interface class and
// the device I/O control codes. Shared by the driver and PortlineUSB.dll so the
// two cannot drift apart.
#pragma once

// {97A9B336-B532-44EF-9065-BE34D2228A20}
// Include <initguid.h> before this header in exactly one translation unit
// that needs the GUID's storage.
DEFINE_GUID(GUID_DEVINTERFACE_PORTLINE,
            0x97a9b336, 0xb532, 0x44ef, 0x90, 0x65, 0xbe, 0x34, 0xd2, 0x22, 0x8a, 0x20);

#ifndef CTL_CODE
#define CTL_CODE(DeviceType, Function, Method, Access) \
  (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))
#endif
#ifndef FILE_DEVICE_UNKNOWN
#define FILE_DEVICE_UNKNOWN 0x00000022
#endif
#ifndef METHOD_BUFFERED
#define METHOD_BUFFERED 0
#endif
#ifndef FILE_ANY_ACCESS
#define FILE_ANY_ACCESS 0
#endif

// Output: the whole configuration descriptor as read at start.
#define IOCTL_PORTLINE_GET_CONFIG_DESCRIPTOR \
  CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS)  // 0x222000
// No output: resets the pipe whose endpoint last reported halted.
#define IOCTL_PORTLINE_RESET_PIPE \
  CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS)  // 0x222008
// Output: one 32-bit unsigned value, 1 when the device runs at high speed.
#define IOCTL_PORTLINE_IS_HIGH_SPEED \
  CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_BUFFERED, FILE_ANY_ACCESS)  // 0x22200C

// Every read and write moves at most this many bytes.
#define PORTLINE_MAX_TRANSFER_SIZE 64
