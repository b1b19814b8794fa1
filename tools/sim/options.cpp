#include "options.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <exception>

#include "chipset.h"
#include "numbers.h"
#include "platform_file.h"

namespace peimsim {
namespace {

// A strict number (decimal or 0x hex, no sign, no blanks, in range); the
// error names the option and the value.
bool Number(const std::string &option, const std::string &text, uint64_t min, uint64_t max,
            uint64_t &value, std::string &error,
            toolio::NumberKind kind = toolio::NumberKind::kCount) {
  std::string why;
  if (toolio::ParseUnsigned(text, min, max, value, why, kind)) return true;
  error = option + ": " + why;
  return false;
}

bool Number32(const std::string &option, const std::string &text, uint32_t &value,
              std::string &error, toolio::NumberKind kind) {
  uint64_t v;
  if (!Number(option, text, 0, 0xFFFFFFFFull, v, error, kind)) return false;
  value = uint32_t(v);
  return true;
}

int NaturalWidth(uint32_t offset) { return offset % 4 == 0 ? 32 : offset % 2 == 0 ? 16 : 8; }

// BB:DD.F+OFF=VALUE[/WIDTH], or ADDR=VALUE[/WIDTH] when allowAddress. The
// register must lie inside its function's configuration space or register
// file (or the chipset's registers) at its width.
bool ParseRegister(const PlatformDescription &platform, const std::string &option,
                   const std::string &text, bool allowAddress, RegisterPreset &preset,
                   std::string &error) {
  const std::string what = option + " " + text + ": ";
  std::string why;
  size_t eq = text.find('=');
  if (eq == std::string::npos) {
    error = what + (allowAddress ? "expected BB:DD.F+OFFSET=VALUE or ADDRESS=VALUE"
                                 : "expected BB:DD.F+OFFSET=VALUE");
    return false;
  }
  std::string where = text.substr(0, eq), value = text.substr(eq + 1), width;
  size_t slash = value.find('/');
  if (slash != std::string::npos) {
    width = value.substr(slash + 1);
    value = value.substr(0, slash);
  }
  uint64_t n;
  size_t plus = where.find('+');
  if (plus != std::string::npos) {
    unsigned bus, dev, fn;
    if (!ParseBdf(where.substr(0, plus), bus, dev, fn)) {
      error = what + "bad PCI function '" + where.substr(0, plus) +
              "' (expected BB:DD.F in hex, e.g. 00:12.2)";
      return false;
    }
    char bdf[16];
    snprintf(bdf, sizeof bdf, "%02X:%02X.%X", bus, dev, fn);
    preset.bdf = bdf;
    if (!toolio::ParseUnsigned(where.substr(plus + 1), 0, 0xFFFFFFFFull, n, why,
                               toolio::NumberKind::kAddress)) {
      error = what + "register offset " + why;
      return false;
    }
    preset.address = uint32_t(n);
    preset.width = NaturalWidth(preset.address);
  } else if (allowAddress) {
    preset.space = RegisterPreset::kChipsetMemory;
    if (!toolio::ParseUnsigned(where, 0, 0xFFFFFFFFull, n, why, toolio::NumberKind::kAddress)) {
      error = what + "address " + why;
      return false;
    }
    preset.address = uint32_t(n);
    preset.width = 8;
  } else {
    error = what + "expected BB:DD.F+OFFSET=VALUE";
    return false;
  }
  if (slash != std::string::npos) {
    if (!toolio::ParseUnsigned(width, 8, 32, n, why) || (n != 8 && n != 16 && n != 32)) {
      error = what + "width '" + width + "' is not 8, 16 or 32";
      return false;
    }
    preset.width = int(n);
  }
  uint64_t most = preset.width == 32 ? 0xFFFFFFFFull : (1ull << preset.width) - 1;
  if (!toolio::ParseUnsigned(value, 0, most, n, why)) {
    error = what + "value for the " + std::to_string(preset.width) + "-bit register: " + why;
    return false;
  }
  preset.value = uint32_t(n);
  // The same setters Platform::Load uses, on a scratch chipset: whatever
  // they refuse is refused here, with the option named.
  Chipset scratch(platform);
  bool ok = preset.space == RegisterPreset::kConfig
                ? scratch.SetConfig(preset.bdf, preset.address, preset.width, preset.value, why)
            : preset.space == RegisterPreset::kFunctionMemory
                ? scratch.SetFunctionRegister(preset.bdf, preset.address, preset.width,
                                              preset.value, why)
                : scratch.SetChipsetRegister(preset.address, preset.width, preset.value, why);
  if (!ok) {
    error = what + why;
    return false;
  }
  return true;
}

const char *const kFailServices[] = {"GetBootMode", "LocatePpi", "AllocatePages", "InstallPpi",
                                     "Stall"};
const uint32_t kFailDefaults[] = {kEfiDeviceError, kEfiNotFound, kEfiOutOfResources,
                                  kEfiOutOfResources, kEfiDeviceError};

// SERVICE[:STATUS][@CALL]
bool ParseFailure(const std::string &text, Failure &f, std::string &error) {
  std::string service = text, status, call;
  size_t at = service.find('@');
  if (at != std::string::npos) {
    call = service.substr(at + 1);
    service = service.substr(0, at);
  }
  size_t colon = service.find(':');
  if (colon != std::string::npos) {
    status = service.substr(colon + 1);
    service = service.substr(0, colon);
  }
  int which = -1;
  for (int i = 0; i < 5; i++)
    if (service == kFailServices[i]) which = i;
  // Any other service or PPI member of the Foundation fails with
  // EFI_DEVICE_ERROR by default (for --any-peim runs).
  if (which < 0 && EntryFromName(service) < 0) {
    error = "--fail " + text + ": unknown service '" + service +
            "' (a PEI service such as GetBootMode, LocatePpi, AllocatePages, InstallPpi, or "
            "Stall, CpuIo.IoRead8, PciCfg.Read)";
    return false;
  }
  f.service = service;
  f.status = which >= 0 ? kFailDefaults[which] : kEfiDeviceError;
  if (colon != std::string::npos) {
    std::optional<uint32_t> s = StatusFromName(status);
    if (!s) {
      error = "--fail " + text + ": unknown status '" + status +
              "' (a name such as EFI_NOT_FOUND, or a 32-bit number)";
      return false;
    }
    f.status = *s;
  }
  if (at != std::string::npos) {
    uint64_t n;
    std::string why;
    if (!toolio::ParseUnsigned(call, 1, 0xFFFFFFFFull, n, why, toolio::NumberKind::kCount)) {
      error = "--fail " + text + ": call number " + why;
      return false;
    }
    f.call = uint32_t(n);
  }
  return true;
}

// The options that take a value, and the flags, as CLI11 names them in its
// own errors.
const char *const kValueOptions[] = {"--platform", "--coverage",
                                     "--boot-mode", "--fail", "--pci", "--mmio", "--randomize",
                                     "--load-address", "--budget", "--format", "--expect",
                                     "--repeat", "--time-limit", "--file", "--volume",
                                     "--memory", "--flash", "--vars", "--trace", "--only", "--map"};
const char *const kFlags[] = {"--disasm", "--quiet", "--no-stall-ppi", "--any-peim", "--force",
                              "--io-ppis", "--dump", "--no-map"};

// Whether a word is one of this tool's options, alone or with "=VALUE".
bool IsOptionName(const std::string &word) {
  if (word == "-q") return true;
  auto named = [&](const char *option) {
    std::string name = option;
    return word == name || word.rfind(name + "=", 0) == 0;
  };
  for (const char *option : kValueOptions)
    if (named(option)) return true;
  for (const char *flag : kFlags)
    if (named(flag)) return true;
  return false;
}

bool TakesValue(const std::string &word) {
  for (const char *option : kValueOptions)
    if (word == option) return true;
  return false;
}

// CLI11's error, in this tool's words where it has them.
std::string ParseErrorText(const CLI::ParseError &e) {
  std::string what = e.what();
  for (const char *option : kValueOptions) {
    std::string name = option;
    if (what.rfind(name + ":", 0) == 0 && what.find("missing") != std::string::npos)
      return name + " needs a value";
  }
  for (const char *flag : kFlags) {
    std::string bare = flag + 2;
    if (what.rfind(bare + " ", 0) == 0 || what.rfind(std::string(flag) + " ", 0) == 0 ||
        what.rfind(std::string(flag) + ":", 0) == 0)
      return std::string(flag) + " takes no value";
  }
  return "command line: " + what;
}

bool Parse(int argc, const char *const *argv, CommandLine &cl, std::string &error) {
  static const char *const kNoArguments[] = {"peim-sim", nullptr};
  if (argc < 1 || !argv) {
    argc = 1;
    argv = kNoArguments;
  }
  bool separator = false;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if (a == "--") {
      separator = true;
      break;
    }
    // --help anywhere wins over everything else on the line.
    if (a == "--help" || a == "-h") {
      cl = CommandLine();
      cl.help = true;
      return true;
    }
    // "--budget=" has an empty value; CLI11 would take the next argument.
    size_t eq = a.find('=');
    if (a.rfind("--", 0) == 0 && eq != std::string::npos && eq + 1 == a.size()) {
      error = a.substr(0, eq) + ": empty value after '='";
      return false;
    }
  }
  // CLI11 takes whatever follows an option as its value, another option
  // too ("--coverage -q" would write a file -q and lose -q): an option
  // given where a value is due is refused. A file of such a name goes as
  // ./-q or --coverage=-q.
  for (int i = 1; i + 1 < argc; i++) {
    std::string a = argv[i];
    if (a == "--") break;
    if (TakesValue(a) && IsOptionName(argv[i + 1])) {
      error = a + " needs a value; '" + argv[i + 1] + "' is an option";
      return false;
    }
    if (TakesValue(a)) i++;  // its value, whatever it looks like
  }

  CLI::App app;
  app.set_help_flag();  // handled above, with this tool's own text
  app.allow_extras();   // unknown options and extra images get messages of ours
  std::string format, bootMode, randomize, loadAddress, budget, expect, repeat, image;
  std::string timeLimit, file, volume, memory;
  std::vector<std::string> failures, pci, mmio;
  std::string platformFile, coverage, flash, vars;
  bool disasm = false;
  bool quiet = false, noStallPpi = false, anyPeim = false, force = false, ioPpis = false;
  auto single = [&](const char *name, std::string &to) {
    app.add_option(name, to)->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  };
  auto repeatable = [&](const char *name, std::vector<std::string> &to) {
    app.add_option(name, to)->allow_extra_args(false)->multi_option_policy(
        CLI::MultiOptionPolicy::TakeAll);
  };
  app.add_flag("-q,--quiet", quiet)->disable_flag_override();
  app.add_flag("--no-stall-ppi", noStallPpi)->disable_flag_override();
  app.add_flag("--any-peim", anyPeim)->disable_flag_override();
  app.add_flag("--force", force)->disable_flag_override();
  app.add_flag("--io-ppis", ioPpis)->disable_flag_override();
  single("--time-limit", timeLimit);
  single("--file", file);
  single("--volume", volume);
  single("--memory", memory);
  single("--format", format);
  single("--boot-mode", bootMode);
  repeatable("--fail", failures);
  repeatable("--pci", pci);
  repeatable("--mmio", mmio);
  single("--randomize", randomize);
  single("--load-address", loadAddress);
  single("--budget", budget);
  single("--expect", expect);
  single("--repeat", repeat);
  single("--platform", platformFile);
  single("--flash", flash);
  single("--vars", vars);
  single("--coverage", coverage);
  single("--map", cl.mapPath);
  app.add_flag("--no-map", cl.noMap)->disable_flag_override();
  app.add_flag("--disasm", disasm)->disable_flag_override();
  std::string trace;
  std::vector<std::string> only;
  single("--trace", trace);
  repeatable("--only", only);
  app.add_flag("--dump", cl.view.dump)->disable_flag_override();
  app.add_option("image", image);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError &e) {
    error = ParseErrorText(e);
    return false;
  }

  std::vector<std::string> extra;
  for (const std::string &a : app.remaining())
    if (a != "--") extra.push_back(a);
  for (const std::string &a : extra) {
    if (a.size() > 1 && a[0] == '-') {
      error = "unknown option " + a + " (see --help)";
      return false;
    }
  }
  if (!separator && image.size() > 1 && image[0] == '-') {
    error = "unknown option " + image + " (see --help)";
    return false;
  }
  if (!extra.empty()) {
    error = "more than one image given ('" + image + "', '" + extra[0] + "')";
    return false;
  }

  cl.quiet = quiet;
  cl.platform.stallPpi = !noStallPpi;
  cl.platform.anyPeim = anyPeim;
  cl.platform.ioPpis = ioPpis;
  cl.force = force;
  if (app.count("--time-limit")) {
    uint64_t seconds = 0;
    if (!Number("--time-limit", timeLimit, 1, kMaxTimeLimit, seconds, error)) return false;
    cl.platform.timeLimitMs = seconds * 1000;
  }
  if (app.count("--file")) {
    Guid g{};
    if (!toolio::ParseGuid(file, g)) {
      error = "--file takes a file name GUID (8-4-4-4-12 hex digits), not '" + file + "'";
      return false;
    }
    cl.fileGuid = file;
  }
  if (app.count("--volume")) {
    if (volume.empty()) {
      error = "--volume needs a file name";
      return false;
    }
    cl.volumePath = volume;
  }
  if (app.count("--memory")) {
    if (memory != "before" && memory != "after") {
      error = "--memory takes before or after, not '" + memory + "'";
      return false;
    }
    cl.platform.memory = memory == "before" ? MemoryWorld::kBefore : MemoryWorld::kAfter;
  }
  if (app.count("--format")) {
    if (format != "text" && format != "json") {
      error = "--format takes text or json, not '" + format + "'";
      return false;
    }
    cl.json = format == "json";
  }
  if (app.count("--boot-mode")) {
    std::optional<uint32_t> mode = BootModeFromName(bootMode);
    if (!mode) {
      error = "--boot-mode: unknown boot mode '" + bootMode + "' (a 32-bit number, or one of " +
              BootModeNames() + ")";
      return false;
    }
    cl.platform.bootMode = *mode;
  }
  for (const std::string &text : failures) {
    Failure f;
    if (!ParseFailure(text, f, error)) return false;
    cl.platform.failures.push_back(f);
  }
  cl.disasm = disasm;
  if (app.count("--trace")) {
    if (trace != "pci" && trace != "ports") {
      error = "--trace takes pci or ports, not '" + trace + "'";
      return false;
    }
    cl.view.pci = trace == "pci";
  }
  for (const std::string &text : only) {
    TraceFilter f;
    if (!ParseTraceFilter(text, f, error)) return false;
    cl.view.only.push_back(f);
  }
  if (app.count("--coverage")) {
    if (coverage.empty()) {
      error = "--coverage needs a file name";
      return false;
    }
    cl.coveragePath = coverage;
    cl.platform.coverage = true;
  }
  // The devices come before the register presets, which must name them.
  if (app.count("--platform")) {
    if (platformFile.empty()) {
      error = "--platform needs a file name";
      return false;
    }
    auto description = std::make_shared<PlatformDescription>();
    if (platformFile == "q35") {
      // The built-in q35 machine (a file of that name goes as ./q35).
      *description = Q35Platform();
    } else {
      if (!ReadPlatformFile(platformFile, *description, error)) return false;
      cl.platformPath = platformFile;
    }
    cl.platform.description = description;
  }
  if (app.count("--vars") && !app.count("--flash")) {
    error = "--vars " + vars + ": the variable store goes below a code image (--flash CODE.fd)";
    return false;
  }
  if (app.count("--flash")) {
    auto images = std::make_shared<Flash>();
    if (flash.empty() || (app.count("--vars") && vars.empty())) {
      error = flash.empty() ? "--flash needs a file name" : "--vars needs a file name";
      return false;
    }
    if (!images->Load(flash, vars, error)) {
      error = (error.rfind(flash, 0) == 0 ? "--flash " : "--vars ") + error;
      return false;
    }
    cl.platform.flash = images;
  }
  const PlatformDescription &devices =
      cl.platform.description ? *cl.platform.description : DefaultPlatform();
  for (const std::string &text : pci) {
    RegisterPreset p;
    if (!ParseRegister(devices, "--pci", text, false, p, error)) return false;
    cl.platform.presets.push_back(p);
  }
  for (const std::string &text : mmio) {
    RegisterPreset p;
    p.space = RegisterPreset::kFunctionMemory;
    if (!ParseRegister(devices, "--mmio", text, true, p, error)) return false;
    cl.platform.presets.push_back(p);
  }
  if (app.count("--randomize")) {
    if (!Number32("--randomize", randomize, cl.platform.randomizeStart, error,
                  toolio::NumberKind::kCount))
      return false;
    cl.platform.randomize = true;
  }
  if (app.count("--load-address") &&
      !Number32("--load-address", loadAddress, cl.platform.loadAddress, error,
                toolio::NumberKind::kAddress))
    return false;
  if (app.count("--budget") &&
      !Number("--budget", budget, 1, kMaxBudget, cl.platform.budget, error))
    return false;
  if (app.count("--expect")) {
    if (expect.empty()) {
      error = "--expect needs a file name";
      return false;
    }
    cl.expectPath = expect;
  }
  if (app.count("--map") && cl.mapPath.empty()) {
    error = "--map needs a file name";
    return false;
  }
  if (app.count("--map") && cl.noMap) {
    error = "--map and --no-map exclude each other";
    return false;
  }
  if (app.count("--repeat") && !Number("--repeat", repeat, 0, kMaxRepeat, cl.repeat, error))
    return false;
  cl.imagePath = image;
  if (cl.imagePath.empty()) {
    error = "no image given (usage: peim-sim [options] IMAGE.efi; see --help)";
    return false;
  }
  return true;
}

}  // namespace

bool ParseCommandLine(int argc, const char *const *argv, CommandLine &cl, std::string &error) {
  cl = CommandLine();
  error.clear();
  try {
    if (Parse(argc, argv, cl, error)) return true;
  } catch (const std::exception &e) {
    // Nothing of the parser's may end the process or escape as an exception.
    error = std::string("command line: ") + e.what();
  }
  cl = CommandLine();
  if (error.empty()) error = "command line: cannot be read";
  return false;
}

std::string HelpText() {
  char memory[1024];
  snprintf(memory, sizeof memory,
           "  0x00000000-0x0000FFFF  nothing (a NULL pointer faults)\n"
           "  0x%08X-0x%08X  stack, 64 KiB; calls start with ESP+4 16-byte aligned\n"
           "  0x%08X-0x%08X  PEI Foundation data: PEI services pointer 0x%08X, services table\n"
           "                         0x%08X, Stall PPI 0x%08X (Resolution 1) and its descriptor\n"
           "  0x%08X-0x%08X  PEI Foundation code: one int3 entry per service (read+execute)\n"
           "  0x%08X-0x%08X  the consumer's variables\n"
           "  0x%08X-0x%08X  page pool, allocated downwards from the top\n"
           "  other RAM up to 0x%08X; all RAM starts as 0x%02X bytes\n"
           "  0x%08X-0x%08X  device window (see below)\n"
           "  the image: at --load-address, outside RAM and the device window\n",
           kStackBase, kStackTop - 1, kFoundationData, kFoundationData + kPageSize - 1,
           kPeiServicesCell, kPeiServicesTable, kStallPpi, kFoundationCode,
           kFoundationCode + kPageSize - 1, kCallerData, kCallerData + kPageSize - 1, kPoolBase,
           kPoolBase + kPoolPages * kPageSize - 1, kRamEnd - 1, kUninitialisedByte,
           kDeviceWindowBase, kDeviceWindowEnd - 1);
  char loadAddress[16];
  snprintf(loadAddress, sizeof loadAddress, "0x%08X", kDefaultLoadAddress);
  return std::string(
             "Usage: peim-sim [options] IMAGE.efi|FILE.ffs|FIRMWARE.fd --file GUID\n"
             "\n"
             "Runs the IA-32 PE32 or TE image of a PEI module on an emulated platform: the PEI\n"
             "Foundation dispatches it (entry point called with its file handle and the PEI\n"
             "services pointer), then a consumer locates PEI_USB_CONTROLLER_PPI and calls\n"
             "GetUsbController for ids 0, 1, 2, ... up to the first error (each id's stack\n"
             "slot carries 0x5A5A5A in its upper bytes). Prints the image, the platform, every\n"
             "PEI service call, port access and memory-mapped access in order, what the\n"
             "consumer saw, and a summary with every violation found.\n"
             "\n"
             "Options (a value goes as --opt VALUE or --opt=VALUE; numbers are decimal or\n"
             "0x-prefixed hex, without sign or blanks, and out-of-range ones are refused):\n"
             "  --boot-mode MODE        boot mode, a name (BOOT_ON_S3_RESUME) or a number (0x11);\n"
             "                          default 0x00 BOOT_WITH_FULL_CONFIGURATION\n"
             "  --fail SERVICE[:STATUS][@CALL]\n"
             "                          make a service fail: GetBootMode, LocatePpi, AllocatePages,\n"
             "                          InstallPpi or Stall; STATUS a name (EFI_NOT_FOUND) or\n"
             "                          number, by default EFI_DEVICE_ERROR (GetBootMode, Stall),\n"
             "                          EFI_NOT_FOUND (LocatePpi) or EFI_OUT_OF_RESOURCES;\n"
             "                          CALL the 1-based call that fails, by default every call.\n"
             "                          A failed service writes none of its outputs. Repeatable.\n"
             "                          A failure that never fires is reported as a violation.\n"
             "  --no-stall-ppi          the PPI database starts empty (no Stall PPI)\n"
             "  --platform FILE         the devices: PCI functions, their configuration space and\n"
             "                          register files, register blocks, the debug console (format\n"
             "                          in tools/sim/README.md); default: the USB chipset below;\n"
             "                          q35: QEMU's q35 machine with 256 MiB and one processor\n"
             "  --flash CODE.fd         map CODE.fd read-only at the top of the 4 GiB space, as a\n"
             "                          firmware flash (at most 16 MiB with --vars)\n"
             "  --vars VARS.fd          map VARS.fd right below CODE.fd, as the variable store\n"
             "  --coverage FILE         write the image's executed blocks to FILE in drcov format\n"
             "                          (version 2), which disassembler coverage viewers load\n"
             "  --disasm                end each trace line with the instruction that made it\n"
             "  --trace pci|ports       pci: one PCI line per configuration access (function\n"
             "                          @register, width, value), the CONFIG_ADDRESS writes left\n"
             "                          out; ports (the default): both port accesses\n"
             "  --only KIND[:WHAT]      show only these events (repeatable, any of them; the\n"
             "                          others keep their numbers): pci[:BB:DD.F],\n"
             "                          io[:PORT[-PORT]], mmio[:ADDRESS[-ADDRESS]|:BB:DD.F],\n"
             "                          ram[:ADDRESS[-ADDRESS]], service[:NAME], console;\n"
             "                          --expect compares the events shown\n"
             "  --dump                  after the summary, a hex dump of each configuration\n"
             "                          space, register file and register block the run touched\n"
             "                          (its touched 16-byte rows, as the run left them; text only)\n"
             "  --io-ppis               with --any-peim, CpuIo and PciCfg reach the devices, as a\n"
             "                          platform's PEIMs install them (default: the PEI core's\n"
             "                          own, which answer EFI_NOT_AVAILABLE_YET and read 0)\n"
             "  --memory before|after   with --any-peim, the memory world (default after): before\n"
             "                          permanent memory (once a PEIM has called InstallPeiMemory\n"
             "                          and returned, the MemoryDiscovered PPI and the entries\n"
             "                          registered for shadowing), or after it (MemoryDiscovered\n"
             "                          installed from the start)\n"
             "  --boot FIRMWARE.fd      run the whole PEI phase of a firmware image with its own\n"
             "                          PEI core, up to the DXE core's entry (its options:\n"
             "                          peim-sim --boot --help)\n"
             "  --any-peim              run any PEIM: every PEI service carried out (or named as\n"
             "                          not supported, which stops the run), absent PCI functions\n"
             "                          read all ones, no consumer; without it the checks are\n"
             "                          those of UsbControllerPeim (five services, its functions)\n"
             "  --file GUID             with a firmware image (volumes): run that file's PEIM; the\n"
             "                          image's volumes serve the volume services\n"
             "  --volume FILE           a firmware image whose volumes serve the volume services\n"
             "  --force                 run a firmware file whose dependency expression is not met\n"
             "                          by the installed PPIs (otherwise: not dispatchable, exit 1)\n"
             "  --time-limit SECONDS    wall-clock time a call may run, 1 to 86400 (default 60)\n"
             "  --pci BB:DD.F+OFF=VALUE[/WIDTH]\n"
             "                          initial contents of a PCI configuration register, e.g.\n"
             "                          --pci 00:12.2+0x04=0x06/8; WIDTH 8, 16 or 32 (default:\n"
             "                          32 if OFF is dword aligned, 16 if word aligned, else 8);\n"
             "                          taken as given, except BAR0's type and size bits (0);\n"
             "                          OFF plus the width must lie inside the 256-byte space\n"
             "  --mmio ADDR=VALUE[/WIDTH]\n"
             "                          initial contents of a chipset register, e.g.\n"
             "                          --mmio 0xFED803EF=0x80 (default width 8)\n"
             "  --mmio BB:DD.F+OFF=VALUE[/WIDTH]\n"
             "                          initial contents of a function's memory-mapped register,\n"
             "                          OFF from its BAR0, e.g. --mmio 00:13.2+0xB4=0x00001080;\n"
             "                          it must lie inside the register file (EHCI 256 bytes,\n"
             "                          OHCI 4096)\n"
             "  --randomize N           first fill every writable register (and the chipset\n"
             "                          registers) with pseudo-random bytes from generator start N\n"
             "  --load-address ADDR     where the image is loaded, a multiple of its section\n"
             "                          alignment (default ") +
         loadAddress +
         "); relocations are applied\n"
         "  --budget N              instructions a call may run, 1 to 2^40 (default 1000000)\n"
         "  --format text|json      output format (default text); json is one object with the\n"
         "                          fields image, platform, trace, consumer, summary, violations\n"
         "                          (and expect, repeat); each service event also has its\n"
         "                          arguments and outputs as data (args, outputs)\n"
         "  --expect FILE           compare the trace with the one in FILE (a saved output, text\n"
         "                          or json, not --quiet) and print every differing line or\n"
         "                          event (the first 20, then their count); event numbers,\n"
         "                          image offsets, symbols and instructions are ignored\n"
         "  --map FILE              the image's link map: each trace line names the function\n"
         "                          that made it (default: the image's name with .map, when\n"
         "                          that file is there and fits the image)\n"
         "  --no-map                no symbols, even with a map beside the image\n"
         "  --quiet                 print the summary alone\n"
         "  --repeat N              first run N timed dispatches (up to 100000000), the platform\n"
         "                          restored before each, and report dispatches per second\n"
         "  --help                  this text\n"
         "  --version               the version\n"
         "\n"
         "Limits, so that any image costs bounded memory and output whatever the budget:\n"
         "  the trace records the first " + std::to_string(kEventLimit) + " events of a run (text and json); later\n"
         "  events are counted in the summary and the trace ends with \"trace truncated after\n"
         "  N events\"; the PPI database holds " + std::to_string(kPpiLimit) + " PPIs (InstallPpi then returns\n"
         "  EFI_OUT_OF_RESOURCES); a run stops at its " + std::to_string(kViolationLimit) + "th violation; the consumer asks for\n"
         "  at most 256 ids; an --expect FILE may have up to " + std::to_string(kMaxExpectBytes >> 20) + " MiB.\n"
         "\n"
         "Exit status: 0 for a clean run (the entry returned, no violation, the trace matches\n"
         "--expect when given), 1 otherwise (with the reason in one line on stderr), 2 for bad\n"
         "input or options.\n"
         "\n"
         "Checks made on every run, each reported as a violation:\n"
         "  a RAM write outside the stack, the module's allocated pages and the outputs its\n"
         "  caller gave it (a write into the caller's stack frame counts); a write to the image\n"
         "  (stops the run); an access to a memory-mapped address no device claims (e.g. an\n"
         "  EHCI register before its BAR0 is set or its memory decoding enabled); an I/O port\n"
         "  nothing claims, a configuration access to an absent function, a CONFIG_DATA access\n"
         "  with the enable bit clear or at a width that leaves the dword; an access that\n"
         "  straddles a page; a PEI service the module has no reason to call, wrong\n"
         "  arguments to a service, a PPI installed from the stack; EBX, ESI, EDI, EBP, ESP,\n"
         "  the direction flag or MMX register 0 not preserved, the x87 unit left in MMX\n"
         "  state; a CPU exception or unmapped access (stops the run); the instruction budget; an\n"
         "  instruction that changes the processor's mode, paging, descriptor tables or MSRs\n"
         "  (MOV to CRn or DRn, LGDT, LIDT, LLDT, LTR, LMSW, INVLPG, CLTS, INVD, WRMSR, HLT;\n"
         "  stops the run before it, also when its code was written after it first ran); code\n"
         "  run outside the image's extent (stops the run); CR0, CR3, CR4, IDTR or GDTR left\n"
         "  changed; a notify callback due while ESP is not the module's stack memory; a\n"
         "  GetUsbController that succeeds without writing both outputs, or reports more\n"
         "  controllers than the platform's three EHCI functions. A violation one instruction\n"
         "  repeats is one line with its count; reads of absent PCI functions are listed in\n"
         "  the summary.\n"
         "\n"
         "Memory map of the emulated platform:\n" +
         memory +
         "\n"
         "Device window contents (the defaults; --pci and --mmio change them):\n" +
         DescribeDefaultChipset();
}

}  // namespace peimsim
