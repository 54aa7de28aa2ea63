#include "apps/command_line.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace veltocam::app {

CommandLine::CommandLine(int argc, char** argv, int first) {
  for (int i = first; i < argc; ++i) arguments_.emplace_back(argv[i]);
}

void CommandLine::Know(const std::string& name, const std::string& shortName) {
  known_.push_back(shortName.empty() ? "--" + name : "--" + name + "/-" + shortName);
}

std::optional<std::string> CommandLine::Take(const std::string& name,
                                             const std::string& shortName) {
  Know(name, shortName);
  for (std::size_t i = 0; i < arguments_.size(); ++i) {
    const std::string& a = arguments_[i];
    if (a == "--" + name || (!shortName.empty() && a == "-" + shortName)) {
      if (i + 1 >= arguments_.size()) throw UsageError(a + " needs a value");
      std::string value = arguments_[i + 1];
      arguments_.erase(arguments_.begin() + static_cast<long>(i),
                       arguments_.begin() + static_cast<long>(i) + 2);
      return value;
    }
    if (a.rfind("--" + name + "=", 0) == 0) {
      std::string value = a.substr(name.size() + 3);
      arguments_.erase(arguments_.begin() + static_cast<long>(i));
      return value;
    }
  }
  return std::nullopt;
}

bool CommandLine::TakeSwitch(const std::string& name) {
  Know(name, "");
  for (std::size_t i = 0; i < arguments_.size(); ++i) {
    if (arguments_[i] == "--" + name) {
      arguments_.erase(arguments_.begin() + static_cast<long>(i));
      return true;
    }
  }
  return false;
}

std::vector<std::string> CommandLine::Rest() const {
  for (const std::string& a : arguments_) {
    if (a.size() < 2 || a[0] != '-') continue;
    std::string valid;
    for (const std::string& k : known_) valid += (valid.empty() ? "" : ", ") + k;
    throw UsageError("unknown option " + a +
                     (valid.empty() ? "; this command takes no options" : "; valid: " + valid));
  }
  return arguments_;
}

bool WantsHelp(int argc, char** argv, int first) {
  for (int i = first; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") return true;
  }
  return false;
}

int ShowUsage(const char* usage) {
  std::printf("%s\n", usage);
  return 0;
}

long ParseInteger(const std::string& text, const std::string& what, long low, long high) {
  errno = 0;
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 0);
  if (text.empty() || *end != 0 || errno != 0 || value < low || value > high) {
    throw UsageError(what + ": expected a number from " + std::to_string(low) + " to " +
                     std::to_string(high) + ", got \"" + text + "\"");
  }
  return value;
}

double ParseFraction(const std::string& text, const std::string& what) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != 0 || !(value >= 0.0 && value <= 1.0)) {
    throw UsageError(what + ": expected a fraction from 0 to 1, got \"" + text + "\"");
  }
  return value;
}

Size ParseSize(const std::string& text) {
  const std::size_t x = text.find_first_of("xX");
  if (x == std::string::npos) throw UsageError("--size: expected WxH, got \"" + text + "\"");
  return {static_cast<int>(ParseInteger(text.substr(0, x), "--size width", 1, 65535)),
          static_cast<int>(ParseInteger(text.substr(x + 1), "--size height", 1, 65535))};
}

}  // namespace veltocam::app
