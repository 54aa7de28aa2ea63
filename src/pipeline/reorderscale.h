// The image operations between the camera's picture (sensor window size) and
// the picture the client asked for, all on planar 4:2:0 images (Y plane, then
// U, then V, chroma planes half as wide and half as high):
//
//   ReorderRawMacroblocks  the camera's raw macroblock frame -> planar 4:2:0
//   BuildScaleMaps         the keep/repeat line maps, once per stream start
//   ScaleYuv420            nearest-neighbour scaling per axis, driven by the maps
//   PlaceVgaImage          the sensor image unscaled on a grey 640-wide picture
#pragma once

#include "control/devicecontext.h"

// One raw macroblock: four 8x8 Y blocks, then the 8x8 U and V blocks of the
// same 16x16 area, 64 bytes each, samples signed.
constexpr ULONG kRawMacroblockBytes = 384;

// Bytes a raw frame of width x height carries after its header: whole
// macroblocks covering width * height * 3 / 2 samples.
ULONG RawMacroblockFrameBytes(ULONG width, ULONG height);

// Turns RawMacroblockFrameBytes(width, height) bytes of raw macroblocks (raster
// order) into a planar 4:2:0 image of width x height at destination, flipping
// each sample's top bit to make it unsigned. Blocks that reach past the image
// (a height that is not a multiple of 16) are clipped to it, so exactly
// width * height * 3 / 2 bytes are written. Returns the bytes read.
ULONG ReorderRawMacroblocks(const UCHAR* source, ULONG width, ULONG height, UCHAR* destination);

// Builds the four maps from SensorImageWidth x SensorImageHeight (source) to
// ImageWidth x ImageHeight (destination) and sets their lengths. An axis whose
// sizes are equal keeps its maps as they were; one longer than a map holds
// (640) gets lengths 0 and is left alone.
void BuildScaleMaps(DeviceContext* context);

// Scales the Ws x Hs image at source (Ws x Hs = SensorImageWidth x
// SensorImageHeight) to Wd x Hd (ImageWidth x ImageHeight) at destination, as
// the maps say. size is the room at destination; returned as it came when the
// picture was written, 0 (nothing written) when the sizes are outside what the
// maps describe or Wd x Hd x 3 / 2 exceeds size.
ULONG ScaleYuv420(DeviceContext* context, UCHAR* destination, ULONG size, const UCHAR* source);

// Fills Wd x Hd x 3 / 2 bytes at destination with mid grey and copies the
// sensor image from RawImageBuffer to its top-left corner (clipped to the
// destination). Same size contract as ScaleYuv420.
ULONG PlaceVgaImage(DeviceContext* context, UCHAR* destination, ULONG size);
