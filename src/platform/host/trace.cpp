// DbgPrint and the safe-string printf routines, and the trace sink.
#include "platform/host/trace.h"

#include <cstdio>

#include "platform/host/printf_engine.h"
#include "platform/kernel.h"

namespace veltocam::host {
namespace {

struct SinkState {
  std::mutex mutex;
  TraceSink sink;
};

SinkState& Sink() {
  static SinkState state;
  return state;
}

void Emit(std::string_view text) {
  SinkState& s = Sink();
  std::lock_guard lock(s.mutex);
  if (s.sink) {
    s.sink(text);
  } else {
    std::fwrite(text.data(), 1, text.size(), stderr);
  }
}

}  // namespace

TraceSink SetTraceSink(TraceSink sink) {
  SinkState& s = Sink();
  std::lock_guard lock(s.mutex);
  TraceSink old = std::move(s.sink);
  s.sink = std::move(sink);
  return old;
}

TraceCapture::TraceCapture() {
  previous_ = SetTraceSink([this](std::string_view text) {
    std::lock_guard lock(mutex_);
    for (char c : text) {
      if (c == '\n') {
        lines_.push_back(std::move(pending_));
        pending_.clear();
      } else {
        pending_ += c;
      }
    }
  });
}

TraceCapture::~TraceCapture() {
  SetTraceSink(std::move(previous_));
}

std::vector<std::string> TraceCapture::Lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

std::size_t TraceCapture::Count(std::string_view line) const {
  std::lock_guard lock(mutex_);
  std::size_t n = 0;
  for (const std::string& l : lines_) n += l == line;
  return n;
}

void TraceCapture::Clear() {
  std::lock_guard lock(mutex_);
  lines_.clear();
  pending_.clear();
}

}  // namespace veltocam::host

ULONG DbgPrint(const CHAR* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = veltocam::host::FormatNarrow(format, args);
  va_end(args);
  veltocam::host::Emit(text);
  return STATUS_SUCCESS;
}

namespace {

// Copies as much of `text` as fits with its terminator; reports a cut.
template <typename Char>
NTSTATUS CopyBounded(Char* destination, SIZE_T capacity, const std::basic_string<Char>& text) {
  SIZE_T n = text.size() < capacity ? text.size() : capacity - 1;
  text.copy(destination, n);
  destination[n] = 0;
  return n < text.size() ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

}  // namespace

NTSTATUS RtlStringCchPrintfW(WCHAR* destination, SIZE_T capacity, const WCHAR* format, ...) {
  if (destination == nullptr || capacity == 0) return STATUS_INVALID_PARAMETER;
  va_list args;
  va_start(args, format);
  std::u16string text = veltocam::host::FormatWide(format, args);
  va_end(args);
  return CopyBounded(destination, capacity, text);
}

NTSTATUS RtlStringCchPrintfA(CHAR* destination, SIZE_T capacity, const CHAR* format, ...) {
  if (destination == nullptr || capacity == 0) return STATUS_INVALID_PARAMETER;
  va_list args;
  va_start(args, format);
  std::string text = veltocam::host::FormatNarrow(format, args);
  va_end(args);
  return CopyBounded(destination, capacity, text);
}
