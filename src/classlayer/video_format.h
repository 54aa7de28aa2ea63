// Replacing the video format a stream keeps: the service interface's entry
// for the device layer's set-data-format.
#pragma once

#include "classlayer/service_interface.h"

// The request's stream takes a copy of the request's new format's video info
// header. TRUE on success; on failure the request's status says why
// (STATUS_INVALID_PARAMETER: not a video info format; STATUS_INSUFFICIENT_RESOURCES).
BOOLEAN ChangeVideoFormat(PVOID deviceContext, HW_STREAM_REQUEST_BLOCK* srb);
