// The raw-frame callback: turns one assembled camera frame into the picture
// the client asked for (RGB24, or planar 4:2:0 as "I420"/"IYUV") in the read
// request's buffer. The first frame of a stream is black; a damaged or
// undecodable frame is replaced by the last good picture; a frame is never
// failed. Saves snapshots of 4:2:0 pictures while the client wants them.
#pragma once

#include "platform/usb.h"

// Extended form. bytesReturned receives the picture size (left as it came
// for an output format the pipeline does not produce). actualRawFrameLength
// (what the packets delivered) bounds how much of the raw buffer is read.
// Without buffers (the class layer's cancel path) nothing is written and no
// state changes. Always success.
NTSTATUS ProcessRawFrame(DEVICE_OBJECT* bus, PVOID deviceContext, PVOID frameContext,
                         PVOID frameBuffer, ULONG frameLength, PVOID rawFrameBuffer,
                         ULONG rawFrameLength, ULONG numberOfPackets, ULONG* bytesReturned,
                         ULONG actualRawFrameLength, ULONG streamNumber);

// Basic form: the raw buffer's whole length counts as received.
NTSTATUS ProcessRawFrameBasic(DEVICE_OBJECT* bus, PVOID deviceContext, PVOID frameContext,
                              PVOID frameBuffer, ULONG frameLength, PVOID rawFrameBuffer,
                              ULONG rawFrameLength, ULONG numberOfPackets, ULONG* bytesReturned);
