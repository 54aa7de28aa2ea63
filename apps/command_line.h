// A small command-line reader for the tool's commands: "--name value" options,
// "--flag" switches and positional arguments, with one-line errors.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace veltocam::app {

// Thrown for bad arguments; the message is one line for the user.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class CommandLine {
 public:
  CommandLine(int argc, char** argv, int first);

  // Removes and returns the value of --name (and -short if given).
  std::optional<std::string> Take(const std::string& name, const std::string& shortName = "");
  // Removes --name; true when it was there.
  bool TakeSwitch(const std::string& name);
  // The arguments left; an unknown --option among them is an error that
  // names the options this command took.
  std::vector<std::string> Rest() const;

 private:
  void Know(const std::string& name, const std::string& shortName);

  std::vector<std::string> arguments_;
  std::vector<std::string> known_;  // every option asked for, in the order asked
};

// True when --help or -h is among the arguments from `first` on.
bool WantsHelp(int argc, char** argv, int first);
// Prints a command's usage on standard output; the exit status 0.
int ShowUsage(const char* usage);

struct Size {
  int width;
  int height;
};

Size ParseSize(const std::string& text);  // "640x480"
long ParseInteger(const std::string& text, const std::string& what, long low, long high);
double ParseFraction(const std::string& text, const std::string& what);  // 0..1

}  // namespace veltocam::app
