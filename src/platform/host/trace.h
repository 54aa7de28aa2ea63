// Where DbgPrint output goes: stderr by default, or a sink chosen by the host
// program; TraceCapture collects the lines for a test to assert.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace veltocam::host {

using TraceSink = std::function<void(std::string_view text)>;

// Installs a sink (an empty function restores stderr); returns the old one.
TraceSink SetTraceSink(TraceSink sink);

class TraceCapture {
 public:
  TraceCapture();
  ~TraceCapture();
  TraceCapture(const TraceCapture&) = delete;
  TraceCapture& operator=(const TraceCapture&) = delete;

  // Complete lines written so far, without their newlines.
  std::vector<std::string> Lines() const;
  std::size_t Count(std::string_view line) const;  // exact matches
  bool Contains(std::string_view line) const { return Count(line) > 0; }
  void Clear();

 private:
  mutable std::mutex mutex_;
  std::string pending_;
  std::vector<std::string> lines_;
  TraceSink previous_;
};

}  // namespace veltocam::host
