// The driver's picture controls as the tool's commands use them: every
// property the device announced, named for the command line ("brightness",
// "snapshots", "quality"...), read and set through device property requests.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "client/property_client.h"

namespace veltocam::app {

struct Control {
  client::PropertyInfo info;
  std::string name;
  const char* set;            // "procamp", "custom" or "compression"
  std::optional<LONG> value;  // the driver's answer to the last read
};

// NAME=VALUE from the command line; VALUE may be negative or hexadecimal.
using Setting = std::pair<std::string, LONG>;
// Throws UsageError when the text is not one.
Setting ParseSetting(const std::string& text);

// What went wrong with settings, as lines for the user.
struct Refusals {
  std::vector<std::string> lines;
  bool unknownName = false;  // a name no writable control has: a usage error
  bool empty() const { return lines.empty(); }
};

class PictureControls {
 public:
  explicit PictureControls(client::PropertyClient& properties);

  const std::vector<Control>& controls() const { return controls_; }
  // Sends each setting in order; a refused value comes with its range.
  Refusals Apply(const std::vector<Setting>& settings);
  // One control by name; false when there is none or the driver refused.
  bool Set(const std::string& name, LONG value);
  // Reads every readable control's value.
  void ReadAll();

 private:
  Control* Find(const std::string& name);
  client::PropertyResult Send(Control& control, LONG value);

  client::PropertyClient& properties_;
  std::vector<Control> controls_;
};

}  // namespace veltocam::app
