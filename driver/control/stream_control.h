// The stream-control codes of the control dispatcher: start of the IN and
// OUT streams, stop, and the block read with its ring check. Each sets the
// request's Information and returns its status; the dispatcher completes it.
#pragma once

#include "core/device_extension.h"

NTSTATUS ControlStartIsoStreamIn(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS ControlStartIsoStreamOut(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS ControlStopIsoStream(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS ControlReadIsoBuffer(PDEVICE_OBJECT deviceObject, PIRP irp);

// What the stream start, the stream stop and device creation reset of the
// output stage: lead store, outputs at the zero line, latest sample, marks.
VOID ResetOutputStage();
