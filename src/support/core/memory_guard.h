#pragma once

#include <cstddef>
#include <cstdint>

namespace morvex {

// Large requests are refused when they exceed half of the memory the system
// can still give us, so that a hostile count in a file fails the read instead
// of driving the machine into swap or the process into the OOM killer.
// Requests below the small-request threshold are always allowed.
bool allocationAllowed(std::uint64_t bytes, std::size_t elementSize);

// Bytes the system reports as still available to this process: the smaller
// of available physical memory plus free swap and the address-space limit.
std::uint64_t availableMemoryBytes();

// Tests pin the available memory to exercise the guard; 0 restores the
// value read from the system.
void setAvailableMemoryOverride(std::uint64_t bytes);

// Allocates raw storage through the guard; nullptr on refusal or failure.
void* guardedAllocate(std::uint64_t bytes, std::size_t elementSize);
void* guardedReallocate(void* old, std::uint64_t bytes, std::size_t elementSize);
void guardedFree(void* block);

// Asks for huge pages under a freshly allocated hash table: its lookups land
// anywhere in it, and with 4 KiB pages nearly each one also misses the TLB.
// Only advice; nothing depends on it being taken.
void adviseHugePages(void* storage, std::uint64_t bytes);

} // namespace morvex
