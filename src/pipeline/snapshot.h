// The snapshot file: while the client wants snapshots (bSnap > 0), each
// delivered 4:2:0 picture replaces "\SystemRoot\snap.dat", and the store's
// BUFFER\"Buffer" = 1 tells companion software that one is waiting.
#pragma once

#include "control/devicecontext.h"

// Writes `length` bytes from `data` as the whole snapshot file. On success one
// wanted snapshot is taken off bSnap and "Buffer" = 1 is written; the result is
// then the store's status. A file that cannot be created or written leaves
// bSnap as it was, so the next picture tries again. Passive level only.
NTSTATUS WriteSnapshotFile(DeviceContext* context, const UCHAR* data, ULONG length);
