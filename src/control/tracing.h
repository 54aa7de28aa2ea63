// The device layer's traces. Most are written only while the module-wide
// DebugMessage switch is on; a few are always written.
#pragma once

#include "platform/kernel.h"

// Written only when DebugMessage is non-zero; the text carries its own newlines.
void DebugTrace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Always written; the routine appends a newline.
void TraceLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
