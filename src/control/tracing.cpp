#include "control/tracing.h"

#include <cstdarg>
#include <cstdio>

#include "control/devicecontext.h"

namespace {

// Traces are short; a longer one is cut rather than dropped.
constexpr int kTraceCapacity = 512;

void Emit(const char* format, va_list args, bool newline) {
  char text[kTraceCapacity];
  std::vsnprintf(text, sizeof text, format, args);
  DbgPrint(newline ? "%s\n" : "%s", text);
}

}  // namespace

void DebugTrace(const char* format, ...) {
  if (DebugMessage == 0) return;
  va_list args;
  va_start(args, format);
  Emit(format, args, false);
  va_end(args);
}

void TraceLine(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Emit(format, args, true);
  va_end(args);
}
