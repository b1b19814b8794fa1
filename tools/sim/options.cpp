#include "options.h"

#include <cstdlib>

namespace peimsim {
namespace {

// Decimal, or hex with 0x.
bool Number(const std::string &text, uint64_t max, uint64_t &value) {
  if (text.empty()) return false;
  bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const char *digits = text.c_str() + (hex ? 2 : 0);
  if (!*digits || !isxdigit((unsigned char)*digits)) return false;
  char *end = nullptr;
  errno = 0;
  unsigned long long v = strtoull(digits, &end, hex ? 16 : 10);
  if (*end != '\0' || errno != 0 || v > max) return false;
  value = v;
  return true;
}

bool Number32(const std::string &text, uint32_t &value) {
  uint64_t v;
  if (!Number(text, 0xFFFFFFFFull, v)) return false;
  value = uint32_t(v);
  return true;
}

int NaturalWidth(uint32_t offset) { return offset % 4 == 0 ? 32 : offset % 2 == 0 ? 16 : 8; }

// BB:DD.F+OFF=VALUE[/WIDTH], or ADDR=VALUE[/WIDTH] when allowAddress.
bool ParseRegister(const std::string &option, const std::string &text, bool allowAddress,
                   RegisterPreset &preset, std::string &error) {
  error = option + " " + text + ": ";
  size_t eq = text.find('=');
  if (eq == std::string::npos) {
    error += "expected REGISTER=VALUE";
    return false;
  }
  std::string where = text.substr(0, eq), value = text.substr(eq + 1), width;
  size_t slash = value.find('/');
  if (slash != std::string::npos) {
    width = value.substr(slash + 1);
    value = value.substr(0, slash);
  }
  size_t plus = where.find('+');
  if (plus != std::string::npos) {
    preset.bdf = where.substr(0, plus);
    unsigned bus, dev, fn;
    char tail;
    if (sscanf(preset.bdf.c_str(), "%x:%x.%x%c", &bus, &dev, &fn, &tail) != 3 || bus > 255 ||
        dev > 31 || fn > 7) {
      error += "bad PCI function '" + preset.bdf + "' (expected BB:DD.F, e.g. 00:12.2)";
      return false;
    }
    if (!Number32(where.substr(plus + 1), preset.address)) {
      error += "bad register offset '" + where.substr(plus + 1) + "'";
      return false;
    }
    preset.width = NaturalWidth(preset.address);
  } else if (allowAddress) {
    preset.space = RegisterPreset::kChipsetMemory;
    if (!Number32(where, preset.address)) {
      error += "bad address '" + where + "'";
      return false;
    }
    preset.width = 8;
  } else {
    error += "expected BB:DD.F+OFFSET=VALUE";
    return false;
  }
  if (!width.empty()) {
    uint32_t w;
    if (!Number32(width, w) || (w != 8 && w != 16 && w != 32)) {
      error += "width must be 8, 16 or 32";
      return false;
    }
    preset.width = int(w);
  }
  if (!Number32(value, preset.value) ||
      (preset.width < 32 && preset.value >> preset.width != 0)) {
    error += "bad value '" + value + "' for a " + std::to_string(preset.width) + "-bit register";
    return false;
  }
  error.clear();
  return true;
}

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
  static const char *const kServices[] = {"GetBootMode", "LocatePpi", "AllocatePages", "InstallPpi", "Stall"};
  static const uint32_t kDefaults[] = {kEfiDeviceError, kEfiNotFound, kEfiOutOfResources,
                                       kEfiOutOfResources, kEfiDeviceError};
  int which = -1;
  for (int i = 0; i < 5; i++)
    if (service == kServices[i]) which = i;
  if (which < 0) {
    error = "--fail " + text + ": unknown service '" + service +
            "' (GetBootMode, LocatePpi, AllocatePages, InstallPpi or Stall)";
    return false;
  }
  f.service = service;
  f.status = kDefaults[which];
  if (!status.empty()) {
    std::optional<uint32_t> s = StatusFromName(status);
    if (!s) {
      error = "--fail " + text + ": unknown status '" + status + "'";
      return false;
    }
    f.status = *s;
  }
  if (!call.empty() && (!Number32(call, f.call) || f.call == 0)) {
    error = "--fail " + text + ": the call number must be 1 or more";
    return false;
  }
  return true;
}

}  // namespace

bool ParseCommandLine(int argc, char **argv, CommandLine &cl, std::string &error) {
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i], value;
    bool hasValue = false;
    size_t eq = arg.find('=');
    if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg = arg.substr(0, eq);
      hasValue = true;
    }
    auto next = [&](std::string &out) {
      if (hasValue) {
        out = value;
        return true;
      }
      if (i + 1 >= argc) {
        error = arg + " needs a value";
        return false;
      }
      out = argv[++i];
      return true;
    };
    std::string v;
    if (arg == "--help" || arg == "-h") {
      cl.help = true;
    } else if (arg == "--quiet" || arg == "-q") {
      cl.quiet = true;
    } else if (arg == "--no-stall-ppi") {
      cl.platform.stallPpi = false;
    } else if (arg == "--format") {
      if (!next(v)) return false;
      if (v != "text" && v != "json") {
        error = "--format takes text or json, not '" + v + "'";
        return false;
      }
      cl.json = v == "json";
    } else if (arg == "--boot-mode") {
      if (!next(v)) return false;
      std::optional<uint32_t> mode = BootModeFromName(v);
      uint32_t n;
      if (!mode && Number32(v, n)) mode = n;
      if (!mode) {
        error = "--boot-mode: unknown boot mode '" + v + "'";
        return false;
      }
      cl.platform.bootMode = *mode;
    } else if (arg == "--fail") {
      Failure f;
      if (!next(v) || !ParseFailure(v, f, error)) return false;
      cl.platform.failures.push_back(f);
    } else if (arg == "--pci" || arg == "--mmio") {
      RegisterPreset p;
      if (!next(v)) return false;
      if (arg == "--mmio") p.space = RegisterPreset::kFunctionMemory;
      if (!ParseRegister(arg, v, arg == "--mmio", p, error)) return false;
      cl.platform.presets.push_back(p);
    } else if (arg == "--randomize") {
      if (!next(v)) return false;
      if (!Number32(v, cl.platform.randomizeStart)) {
        error = "--randomize takes a number, not '" + v + "'";
        return false;
      }
      cl.platform.randomize = true;
    } else if (arg == "--load-address") {
      if (!next(v)) return false;
      if (!Number32(v, cl.platform.loadAddress)) {
        error = "--load-address takes a 32-bit address, not '" + v + "'";
        return false;
      }
    } else if (arg == "--budget") {
      if (!next(v)) return false;
      if (!Number(v, 1ull << 40, cl.platform.budget) || cl.platform.budget == 0) {
        error = "--budget takes a positive instruction count, not '" + v + "'";
        return false;
      }
    } else if (arg == "--expect") {
      if (!next(cl.expectPath)) return false;
    } else if (arg == "--repeat") {
      if (!next(v)) return false;
      if (!Number(v, 100000000, cl.repeat)) {
        error = "--repeat takes a count up to 100000000, not '" + v + "'";
        return false;
      }
    } else if (arg.size() > 1 && arg[0] == '-') {
      error = "unknown option " + arg;
      return false;
    } else if (cl.imagePath.empty()) {
      cl.imagePath = arg;
    } else {
      error = "more than one image given ('" + cl.imagePath + "', '" + arg + "')";
      return false;
    }
  }
  if (!cl.help && cl.imagePath.empty()) {
    error = "no image given (usage: peim-sim [options] IMAGE.efi; see --help)";
    return false;
  }
  return true;
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
             "Usage: peim-sim [options] IMAGE.efi\n"
             "\n"
             "Runs the IA-32 PE32 image of a PEI module on an emulated platform: the PEI\n"
             "Foundation dispatches it (entry point called with its file handle and the PEI\n"
             "services pointer), then a consumer locates PEI_USB_CONTROLLER_PPI and calls\n"
             "GetUsbController for ids 0, 1, 2, ... up to the first error (each id's stack\n"
             "slot carries 0x5A5A5A in its upper bytes). Prints the image, the platform, every\n"
             "PEI service call, port access and memory-mapped access in order, what the\n"
             "consumer saw, and a summary with every violation found.\n"
             "\n"
             "Options:\n"
             "  --boot-mode MODE        boot mode, a name (BOOT_ON_S3_RESUME) or a number (0x11);\n"
             "                          default 0x00 BOOT_WITH_FULL_CONFIGURATION\n"
             "  --fail SERVICE[:STATUS][@CALL]\n"
             "                          make a service fail: GetBootMode, LocatePpi, AllocatePages,\n"
             "                          InstallPpi or Stall; STATUS a name (EFI_NOT_FOUND) or\n"
             "                          number, by default EFI_DEVICE_ERROR (GetBootMode, Stall),\n"
             "                          EFI_NOT_FOUND (LocatePpi) or EFI_OUT_OF_RESOURCES;\n"
             "                          CALL the 1-based call that fails, by default every call.\n"
             "                          A failed service writes none of its outputs. Repeatable.\n"
             "  --no-stall-ppi          the PPI database starts empty (no Stall PPI)\n"
             "  --pci BB:DD.F+OFF=VALUE[/WIDTH]\n"
             "                          initial contents of a PCI configuration register, e.g.\n"
             "                          --pci 00:12.2+0x04=0x06/8; WIDTH 8, 16 or 32 (default:\n"
             "                          32 if OFF is dword aligned, 16 if word aligned, else 8);\n"
             "                          taken as given, except BAR0's type and size bits (0)\n"
             "  --mmio ADDR=VALUE[/WIDTH]\n"
             "                          initial contents of a chipset register, e.g.\n"
             "                          --mmio 0xFED803EF=0x80 (default width 8)\n"
             "  --mmio BB:DD.F+OFF=VALUE[/WIDTH]\n"
             "                          initial contents of a function's memory-mapped register,\n"
             "                          OFF from its BAR0, e.g. --mmio 00:13.2+0xB4=0x00001080\n"
             "  --randomize N           first fill every writable register (and the chipset\n"
             "                          registers) with pseudo-random bytes from generator start N\n"
             "  --load-address ADDR     where the image is loaded, a multiple of its section\n"
             "                          alignment (default ") +
         loadAddress +
         "); relocations are applied\n"
         "  --budget N              instructions a call may run (default 1000000)\n"
         "  --format text|json      output format (default text); json is one object with the\n"
         "                          fields image, platform, trace, consumer, summary, violations\n"
         "                          (and expect, repeat)\n"
         "  --expect FILE           compare the trace with the one in FILE (a saved text output)\n"
         "                          and print the first difference; image offsets are ignored\n"
         "  --quiet                 print the summary alone\n"
         "  --repeat N              first run N timed dispatches, the platform restored before\n"
         "                          each, and report dispatches per second\n"
         "  --help                  this text\n"
         "\n"
         "Exit status: 0 for a clean run (the entry returned, no violation, the trace matches\n"
         "--expect when given), 1 otherwise, 2 for bad input or options.\n"
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
         "  state; a CPU exception or unmapped access (stops the run); the instruction budget.\n"
         "\n"
         "Memory map of the emulated platform:\n" +
         memory +
         "\n"
         "Device window contents (the defaults; --pci and --mmio change them):\n" +
         DescribeDefaultChipset();
}

}  // namespace peimsim
