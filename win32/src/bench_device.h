// The host's test bench, \\.\VelnorSimBus (VELNOR_BENCH=1): the Windows test
// bus's control codes for the simulated module the runtime plugged in.
#pragma once

#include <string_view>

namespace velnor::host {

// `name` (after "\\.\") names the bench's control device.
bool IsBenchPath(std::string_view name);

// At the boot and at exit, from a simulation thread. False when the device
// could not be made.
bool StartBench();
void StopBench();
// Holds the bench's requests off (a kernel wait), for the teardown at exit.
void LockBench();
void UnlockBench();

}  // namespace velnor::host
