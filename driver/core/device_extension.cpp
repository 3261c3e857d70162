#include "core/device_extension.h"

// Values at load; device creation sets the per-device ones again.
LONG DebugLevel = 2;
volatile UCHAR DeviceRemoved = 1;
volatile UCHAR DeviceStarted = 0;
volatile UCHAR AcqModuleConnected = 0;
volatile UCHAR StopIsoStream = 0;
volatile UCHAR IsoStreamStopped = 1;
volatile UCHAR IsoInCompleted = 0;
volatile USHORT FirstIsoPacket = 1;
PUCHAR IsoOutBuffer = nullptr;
