// The device layer's request filter: every device request from the port
// reaches it first. It answers what needs camera knowledge (stream
// templates, the open check, data intersection, the initialisation
// hand-shake) and passes everything else to the class layer's dispatcher.
#pragma once

#include "platform/streamclass.h"

void FilterDeviceRequest(HW_STREAM_REQUEST_BLOCK* srb);

// Put on every stream the filter opens; the class layer calls them before
// its own handling and skips a request they set *handled for.
void StreamControlHandler(HW_STREAM_REQUEST_BLOCK* srb, BOOLEAN* handled);
void StreamDataHandler(HW_STREAM_REQUEST_BLOCK* srb, BOOLEAN* handled);

// SRB_INITIALIZATION_COMPLETE: asks the driver's own device object for the
// class layer's service interface and keeps a copy in the device context.
void ObtainServiceInterface(PVOID deviceContext);
