// A camera that reports its snapshot button on an interrupt IN pipe (the
// bulk model does) has it watched for good: the class layer waits on that
// pipe, re-arms the wait after every report and signals the snapshot device
// event each time, so a press reaches the client without polling.
#pragma once

#include "classlayer/service_interface.h"

// Starts the wait on the first pipe the class layer takes as an interrupt
// pipe. STATUS_NO_MATCH when the interface has none (the shipped camera),
// STATUS_NOT_SUPPORTED without the service interface.
NTSTATUS WatchSnapshotButton(PVOID deviceContext, const ServiceInterface* services);
// At initialisation complete, once the service interface is known: watches
// the button when the interface offers InterruptWait and the camera has an
// interrupt pipe; otherwise nothing is started.
void WatchButtonPipe(PVOID deviceContext);
