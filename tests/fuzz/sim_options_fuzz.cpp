// peim-sim's command-line parser on any argument vector: the input, split
// on NUL bytes, gives the arguments after the program name. Every vector
// must get an answer, never an exit or an escaping exception: a command line
// whose values are all in range, or a one-line error.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "chipset.h"
#include "options.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::vector<std::string> args = {"peim-sim"};
  if (size > 0) {
    args.emplace_back();
    for (size_t i = 0; i < size; i++) {
      if (data[i] == 0)
        args.emplace_back();
      else
        args.back() += char(data[i]);
    }
  }
  std::vector<const char *> argv;
  for (const std::string &a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);

  peimsim::CommandLine cl;
  std::string error;
  bool ok = peimsim::ParseCommandLine(int(args.size()), argv.data(), cl, error);
  if (!ok) {
    if (error.empty()) __builtin_trap();  // a refusal always says why
    return 0;
  }
  if (!error.empty()) __builtin_trap();
  if (cl.help) return 0;
  if (cl.imagePath.empty()) __builtin_trap();
  const peimsim::PlatformOptions &p = cl.platform;
  if (p.budget == 0 || p.budget > peimsim::kMaxBudget) __builtin_trap();
  if (cl.repeat > peimsim::kMaxRepeat) __builtin_trap();
  for (const peimsim::Failure &f : p.failures)
    if (f.service.empty()) __builtin_trap();
  // Every accepted preset fits its register space: the platform's own
  // setters take it.
  for (const peimsim::RegisterPreset &preset : p.presets) {
    peimsim::Chipset chipset;
    std::string why;
    bool fits =
        preset.space == peimsim::RegisterPreset::kConfig
            ? chipset.SetConfig(preset.bdf, preset.address, preset.width, preset.value, why)
        : preset.space == peimsim::RegisterPreset::kFunctionMemory
            ? chipset.SetFunctionRegister(preset.bdf, preset.address, preset.width, preset.value,
                                          why)
            : chipset.SetChipsetRegister(preset.address, preset.width, preset.value, why);
    if (!fits) __builtin_trap();
  }
  return 0;
}
