// peim-sim's command line.
#ifndef TOOLS_SIM_OPTIONS_H_
#define TOOLS_SIM_OPTIONS_H_

#include <cstdint>
#include <string>

#include "platform.h"
#include "trace_format.h"

namespace peimsim {

struct CommandLine {
  std::string imagePath;
  PlatformOptions platform;
  bool json = false;
  bool quiet = false;
  bool help = false;
  std::string expectPath;
  uint64_t repeat = 0;  // extra timed dispatches before the reported one
  bool disasm = false;        // the trace shows each access's instruction
  std::string coveragePath;   // --coverage: the drcov file to write
  std::string platformPath;   // --platform: the devices' description
  std::string fileGuid;    // --file: the PEIM's file in a firmware image
  std::string volumePath;  // --volume: the volumes the Foundation serves
  bool force = false;      // dispatch even when the dependency expression is not met
  TraceView view;          // --trace, --only, --dump
  std::string mapPath;     // --map: the image's link map (default: IMAGE's stem + .map, if there)
  bool noMap = false;      // --no-map: offsets without symbols
};

constexpr uint64_t kMaxRepeat = 100000000;
constexpr uint64_t kMaxTimeLimit = 86400;  // seconds
constexpr uint64_t kMaxExpectBytes = 64ull << 20;  // a saved output given to --expect

// Fills cl from argv (argv[0] is the program). False with a one-line error
// naming the option and the value for anything malformed; never exits and
// never throws. Values go as --opt VALUE or --opt=VALUE; --help anywhere
// sets cl.help and nothing else.
bool ParseCommandLine(int argc, const char *const *argv, CommandLine &cl, std::string &error);

std::string HelpText();

}  // namespace peimsim

#endif  // TOOLS_SIM_OPTIONS_H_
