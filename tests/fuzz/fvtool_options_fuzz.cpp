// fvtool's command line on arbitrary arguments: the input split on NUL
// bytes into argv (after "fvtool"). ParseFvtoolArgs must never throw; it
// either fails with a one-line message, asks for help, or gives a command
// whose numbers lie in their ranges. ResolveOutput (with no file taken for
// an existing input) then either fails with a one-line message or
// keeps -o, or takes OUT from the front of the files.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fvtool_options.h"
#include "fuzz_check.h"

namespace {

using fuzzcheck::Check;

bool OneLine(const std::string &text) {
  return !text.empty() && text.find('\n') == std::string::npos;
}

std::string NoInput(const std::string &, const std::string &) { return ""; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // Many arguments say nothing that a few do not, and CLI11's cost grows
  // with their number.
  if (size > 4096) return 0;
  std::vector<std::string> words{"fvtool"};
  std::string word;
  for (size_t i = 0; i < size; i++) {
    if (data[i] == 0) {
      words.push_back(word);
      word.clear();
    } else {
      word += char(data[i]);
    }
  }
  if (!word.empty()) words.push_back(word);
  std::vector<const char *> argv;
  for (const std::string &w : words) argv.push_back(w.c_str());
  argv.push_back(nullptr);

  fv::FvtoolArgs args;
  std::string error;
  bool ok = fv::ParseFvtoolArgs(int(words.size()), argv.data(), args, error);
  if (!ok) {
    Check(OneLine(error));
    return 0;
  }
  if (!args.helpText.empty()) return 0;
  static const char *const kCommands[] = {"ffs",    "list",    "insert", "replace",
                                          "remove", "extract", "create"};
  bool known = false;
  for (const char *c : kCommands) known = known || args.command == c;
  Check(known);
  Check(args.volumeIndex >= -1 && args.volumeIndex <= 0xFFFF);
  Check(args.base <= 0xFFFFFFFFu);
  Check(args.size <= fv::kMaxVolumeSize);
  Check(args.sectionIndex <= 0xFFFF);
  Check(args.align >= 1 && args.align <= 0x10000);
  Check(args.block >= 1);
  if (args.command == "create") Check(args.size >= 1);

  error.clear();
  const std::string given = args.output;
  const std::vector<std::string> files = args.files;
  if (!fv::ResolveOutput(args, NoInput, error)) {
    Check(OneLine(error));
    return 0;
  }
  if (!given.empty()) {
    Check(args.output == given && args.files == files);
  } else {
    // OUT came first among the files.
    Check(!files.empty() && args.output == files[0]);
    Check(args.files == std::vector<std::string>(files.begin() + 1, files.end()));
  }
  if (args.command == "ffs") Check(args.files.size() == 1);
  return 0;
}
