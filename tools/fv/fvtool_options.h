// fvtool's command line: one subcommand and its options, read into plain
// values and checked (numbers strictly, with ranges) before anything runs.
#ifndef TOOLS_FV_FVTOOL_OPTIONS_H_
#define TOOLS_FV_FVTOOL_OPTIONS_H_

#include <cstdint>
#include <string>
#include <vector>

namespace fv {

struct FvtoolArgs {
  std::string command;   // ffs, list, insert, replace, remove, extract, create
  std::string helpText;  // set when --help was asked for: print it, exit 0
  std::string image;     // the image read (list, insert, replace, remove, extract)
  std::string output;    // -o: the file written
  // .ffs files (insert, replace, create), the PE32 image (ffs). Without -o,
  // ffs, insert and create take OUT as the first of them (see ResolveOutput).
  std::vector<std::string> files;
  // ffs
  std::string guid, name, type = "peim";
  std::vector<std::string> depexPush;
  bool volumeState = false;  // state 0xF8 (as in a polarity-1 volume), not 0x07
  bool haveFileVersion = false;  // a VERSION section: fileVersion, buildNumber
  std::string fileVersion;
  uint16_t buildNumber = 0;
  // insert, replace, remove, extract
  bool apriori = false;
  bool haveBase = false;
  uint64_t base = 0;
  int volumeIndex = -1;
  std::string volumeGuid;  // --fv by a GUID: resolved against the image (ResolveVolume)
  std::string fileGuid;  // remove, extract: a name GUID or a UI name
  std::string format = "text";  // list: text or json
  // extract
  std::string section;   // a section type: name or number
  uint64_t sectionIndex = 0;
  bool imageBody = false;
  // create
  uint64_t size = 0;
  uint32_t block = 0x1000;
  uint32_t align = 8;
  std::string volumeName;
};

// Never exits or throws: false with a one-line error naming the option and
// the value at fault.
bool ParseFvtoolArgs(int argc, const char *const *argv, FvtoolArgs &args, std::string &error);

// Without -o, takes OUT from the front of `files` for the commands whose
// earlier form had it there. An OUT that exists and that the command could
// read as an input (inputKind names what it is, "" for anything else) is
// taken for a forgotten OUT and refused. False with a one-line error.
bool ResolveOutput(FvtoolArgs &args,
                   std::string (*inputKind)(const std::string &command, const std::string &path),
                   std::string &error);

// Sizes this tool will not go beyond, as --help states them.
constexpr uint64_t kMaxVolumeSize = 256ull << 20;

}  // namespace fv

#endif  // TOOLS_FV_FVTOOL_OPTIONS_H_
