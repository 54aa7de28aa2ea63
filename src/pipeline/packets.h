// The camera's packet framing: which packet starts a frame, which packets
// belong to it, and when the frame being assembled is damaged.
//
// On the wire a frame-start packet begins with the sync byte(s); every other
// packet begins with a sequence byte (0, 1, ... wrapping at NextSyncByte) or
// 0xFF for "no data". The class layer appends bytes 1 .. n-1 of an accepted
// packet, n being the count returned here.
#pragma once

#include "platform/usb.h"

// Extended form: returns the pipe's maximum packet size for an accepted packet
// and 0 for one whose payload must not be copied. Of the outputs only
// FrameComplete is written; at a frame start the ending frame's damage goes
// into its frame context (a FrameMark).
ULONG ProcessPacket(DEVICE_OBJECT* bus, PVOID deviceContext, PVOID currentFrameContext,
                    USBD_ISO_PACKET_DESCRIPTOR* syncPacket, UCHAR* syncBuffer,
                    USBD_ISO_PACKET_DESCRIPTOR* dataPacket, UCHAR* dataBuffer, UCHAR* frameComplete,
                    ULONG* packetFlags, ULONG* validDataOffset);

// Basic form: never a still frame; otherwise the extended form.
ULONG ProcessPacketBasic(DEVICE_OBJECT* bus, PVOID deviceContext, PVOID currentFrameContext,
                         USBD_ISO_PACKET_DESCRIPTOR* syncPacket, UCHAR* syncBuffer,
                         USBD_ISO_PACKET_DESCRIPTOR* dataPacket, UCHAR* dataBuffer,
                         UCHAR* frameComplete, UCHAR* nextFrameIsStill);

// A read request starts a new frame: its frame mark starts clear; FrameLength stays.
void NewFrame(PVOID deviceContext, PVOID frameContext, ULONG streamNumber, ULONG* frameLength);
void NewFrameBasic(PVOID deviceContext, PVOID frameContext);
