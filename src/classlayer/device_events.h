// The snapshot device event the class layer announces and signals for the
// device layer.
#pragma once

#include "classlayer/device.h"
#include "platform/streamclass.h"

constexpr GUID kSnapshotEventSet = {
    0xDB47DE20, 0xF628, 0x11D1, {0xBA, 0x41, 0x00, 0xA0, 0xC9, 0x0D, 0x2B, 0x05}};
constexpr ULONG kSnapshotEventId = 0;

// Signals the snapshot event, only while some client has it enabled.
void SignalSnapshotEvent(ClassDevice* device);
