// Whole-page blocks whose access can be switched off, so that a driver that
// touches an IRP or a device object it no longer owns faults at once. The
// fault is reported to a handler and the access is then let through.
#pragma once

#include <cstddef>

namespace kmodel {

// Called with the faulting address; returns true when it belongs to a guarded
// block (the block is then opened again so that execution can go on).
using GuardFaultHandler = bool (*)(void* address);

void InstallGuardFaultHandler(GuardFaultHandler handler);
void* AllocateGuardedBlock(std::size_t size);
void FreeGuardedBlock(void* block);
// Closes (no access) or opens (read/write) the pages of a block.
void SetGuardedBlockAccess(void* block, std::size_t size, bool accessible);

}  // namespace kmodel
