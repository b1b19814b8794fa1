// peim-sim's command line.
#ifndef TOOLS_SIM_OPTIONS_H_
#define TOOLS_SIM_OPTIONS_H_

#include <string>

#include "platform.h"

namespace peimsim {

struct CommandLine {
  std::string imagePath;
  PlatformOptions platform;
  bool json = false;
  bool quiet = false;
  bool help = false;
  std::string expectPath;
  uint64_t repeat = 0;  // extra timed dispatches before the reported one
};

// False with a one-line error for anything malformed.
bool ParseCommandLine(int argc, char **argv, CommandLine &cl, std::string &error);

std::string HelpText();

}  // namespace peimsim

#endif  // TOOLS_SIM_OPTIONS_H_
