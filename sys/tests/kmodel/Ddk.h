// The DDK headers as the kernel model sees them: the same headers the driver
// is built against, with the kernel routines declared for linking inside one
// user-mode program (no dllimport).
#pragma once

#ifndef _NTOSKRNL_
#error "the kernel model is built with _NTOSKRNL_ and _NTHALDLL_ defined"
#endif

extern "C" {
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ddk/wdm.h>
#include <usb.h>
#include <ddk/usbdlib.h>
#include <usbioctl.h>
#include <ddk/usbbusif.h>
}
