// peim-sim --boot FIRMWARE.fd --platform q35: options, input, run, output.
#include "boot_main.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstring>

#include "boot_machine.h"
#include "boot_report.h"
#include "file_io.h"
#include "numbers.h"
#include "report.h"

namespace peimsim::boot {
namespace {

int Fail(const std::string &message, int status = 2) {
  fprintf(stderr, "peim-sim: %s\n", Printable(message).c_str());
  return status;
}

// SERVICE[@PEIM][:STATUS]
bool ParseFail(const std::string &text, BootOptions::Fail &f, std::string &error) {
  std::string rest = text;
  size_t colon = rest.rfind(':');
  if (colon != std::string::npos) {
    std::string status = rest.substr(colon + 1);
    rest.resize(colon);
    auto named = StatusFromName(status);
    uint64_t v = 0;
    std::string ignored;
    if (named) f.status = *named;
    else if (toolio::ParseUnsigned(status, 0, 0xFFFFFFFFull, v, ignored)) f.status = uint32_t(v);
    else {
      error = "--fail " + text + ": unknown status '" + status + "'";
      return false;
    }
  }
  size_t at = rest.find('@');
  if (at != std::string::npos) {
    f.peim = rest.substr(at + 1);
    rest.resize(at);
    if (f.peim.empty()) {
      error = "--fail " + text + ": no PEIM after '@'";
      return false;
    }
  }
  int slot = ServiceSlotFromName(rest);
  if (slot < 0 || rest == "CpuIo" || rest == "PciCfg") {
    error = "--fail " + text + ": '" + rest + "' is not a PEI service";
    return false;
  }
  f.service = rest;
  return true;
}

}  // namespace

bool WantsBoot(int argc, const char *const *argv) {
  for (int i = 1; i < argc; i++)
    if (strcmp(argv[i], "--boot") == 0 || strncmp(argv[i], "--boot=", 7) == 0) return true;
  return false;
}

const char kBootHelp[] =
    "Usage: peim-sim --boot FIRMWARE.fd --platform q35 [options]\n"
    "\n"
    "Runs the whole PEI phase of a firmware image: the firmware's own PEI core, entered\n"
    "with the state its SEC leaves (OVMF's main volume unpacked), dispatches its PEIMs\n"
    "on QEMU's q35 machine until DxeIpl enters the DXE core. Every service call, port\n"
    "and memory-mapped access is traced and attributed to the image that made it.\n"
    "\n"
    "  --vars VARS.fd          the variable store below the code image (default: the\n"
    "                          _VARS file beside a _CODE one, if there is one)\n"
    "  --usb-chipset           the default platform's USB functions beside q35's devices\n"
    "  --no-migration-ppi      SEC passes no temporary RAM migration PPI\n"
    "  --fail SERVICE[@PEIM][:STATUS]\n"
    "                          the service returns STATUS (default EFI_DEVICE_ERROR) without\n"
    "                          running, for every caller or the PEIM of that UI name\n"
    "  --format text|json      the report's form (default text)\n"
    "  --quiet, -q             no trace\n"
    "  --coverage FILE         one drcov file, a module per image that ran\n"
    "  --pci-trace FILE        the PCI configuration accesses, one a line\n"
    "  --budget N              instructions for the whole phase (default 4000000000)\n"
    "  --time-limit SECONDS    wall-clock bound (default 120)\n"
    "\n"
    "Exit status: 0 at the DXE core's entry; 1 when the phase stopped before (the reason\n"
    "on stderr); 2 for bad input.\n";

int BootMain(int argc, const char *const *argv) {
  for (int i = 1; i < argc && strcmp(argv[i], "--") != 0; i++)
    if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
      fputs(kBootHelp, stdout);
      return 0;
    }
  CLI::App app("peim-sim --boot");
  app.set_help_flag();  // --help is ours (above)
  std::string firmware, vars, platform, format = "text", coverage, pciTrace;
  std::vector<std::string> fails;
  bool quiet = false, noMigration = false;
  uint64_t budget = 0, timeLimit = 0;
  // A value given twice: the last one counts, as for peim-sim's other options.
  auto single = [&](const char *name, auto &to) {
    return app.add_option(name, to)->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  };
  single("--boot", firmware)->required();
  single("--platform", platform)->required();
  single("--vars", vars);
  app.add_option("--fail", fails);
  single("--format", format);
  single("--coverage", coverage);
  single("--pci-trace", pciTrace);
  single("--budget", budget);
  single("--time-limit", timeLimit);
  app.add_flag("--quiet,-q", quiet);
  app.add_flag("--no-migration-ppi", noMigration);
  bool usbChipset = false;
  app.add_flag("--usb-chipset", usbChipset);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError &e) {
    std::string what = e.what();
    return Fail("--boot: " + what.substr(0, what.find('\n')));
  }
  if (platform != "q35") return Fail("--platform " + platform + ": a boot runs on q35 only");
  if (format != "text" && format != "json") return Fail("--format " + format + ": text or json");
  BootOptions options;
  options.migrationPpi = !noMigration;
  options.usbChipset = usbChipset;
  if (budget) options.budget = budget;
  if (timeLimit) {
    if (timeLimit > 86400) return Fail("--time-limit " + std::to_string(timeLimit) + ": at most 86400");
    options.timeLimitMs = timeLimit * 1000;
  }
  std::string error;
  for (const std::string &f : fails) {
    BootOptions::Fail one;
    if (!ParseFail(f, one, error)) return Fail(error);
    options.failures.push_back(one);
  }
  for (const std::string &out : {coverage, pciTrace}) {
    if (out.empty()) continue;
    if (out == firmware || out == vars || toolio::SameFile(out, firmware))
      return Fail(out + ": an output is also an input");
    if (!toolio::CheckOutputPath(out, error)) return Fail(error);
  }
  std::vector<uint8_t> code, store;
  if (!toolio::ReadInput(firmware, code, error, 16u << 20)) return Fail(error);
  if (vars.empty()) {
    // Debian's naming: OVMF32_CODE_4M.secboot.fd beside OVMF32_VARS_4M.fd.
    std::string guess = firmware;
    size_t at = guess.rfind("_CODE");
    if (at != std::string::npos) {
      guess.replace(at, 5, "_VARS");
      size_t sec = guess.find(".secboot", at);
      if (sec != std::string::npos) guess.erase(sec, 8);
      std::vector<uint8_t> bytes;
      std::string ignored;
      if (guess != firmware && toolio::ReadInput(guess, bytes, ignored, 16u << 20)) {
        vars = guess;
        store = std::move(bytes);
      }
    }
  } else if (!toolio::ReadInput(vars, store, error, 16u << 20)) {
    return Fail(error);
  }
  SecHandOff handOff;
  int status = PrepareHandOff(code, handOff, error);
  if (status) return Fail(firmware + ": " + error, status);
  BootMachine machine;
  if (!machine.Setup(handOff, code, store, options, error)) return Fail(firmware + ": " + error);
  BootReport report;
  report.firmwarePath = firmware;
  report.varsPath = vars;
  report.machine = &machine;
  report.quiet = quiet;
  report.outcome = machine.Run();
  if (!coverage.empty() && !toolio::WriteOutput(coverage, BootCoverageFile(machine), error))
    return Fail("--coverage: " + error);
  if (!pciTrace.empty()) {
    std::string text;
    for (const std::string &l : PciConfigLines(machine)) text += l + "\n";
    if (!toolio::WriteOutput(pciTrace, std::vector<uint8_t>(text.begin(), text.end()), error))
      return Fail("--pci-trace: " + error);
  }
  std::string out = format == "json" ? RenderBootJson(report) : RenderBootText(report);
  fputs(out.c_str(), stdout);
  if (report.outcome.reachedDxe) return 0;
  fprintf(stderr, "peim-sim: %s: the PEI phase stopped: [%s] %s\n", Printable(firmware).c_str(),
          report.outcome.kind.c_str(), Printable(report.outcome.reason).c_str());
  return 1;
}

}  // namespace peimsim::boot
