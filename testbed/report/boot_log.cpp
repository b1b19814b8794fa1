#include "boot_log.h"

#include <cstdio>
#include <set>
#include <sstream>

#include "numbers.h"

namespace testbed {
namespace {

// What the module is expected to leave behind.
constexpr uint32_t kEfiSuccess = 0;
constexpr uint32_t kEfiInvalidParameter = 0x80000002;
constexpr uint32_t kEhciType = 3;
constexpr uint32_t kEhciCount = 3;
constexpr uint32_t kEhciBase = 0xF0008000;
constexpr uint32_t kOhciBase = 0xC0000000;
constexpr uint32_t kBaseStride = 0x1000;
constexpr uint32_t kEhciCapability = 0x01000020;  // HCIVERSION 0x0100, CAPLENGTH 0x20
constexpr uint32_t kOhciRevision = 0x10;
constexpr uint32_t kStallMicroseconds = 1000000;
constexpr uint32_t kPciCommandMemory = 0x2;
constexpr uint32_t kPciCommandBusMaster = 0x4;
constexpr uint32_t kBarMemoryMask = 0xFFFFFFF0;
// The consumer's marker in Type and Base before each call.
constexpr uint32_t kUnwritten = 0xA5A5A5A5;

struct Bdf {
  uint32_t device, function;
};
constexpr Bdf kEhciFunctions[] = {{0x12, 2}, {0x13, 2}, {0x16, 2}};
constexpr Bdf kOhciFunctions[] = {{0x12, 0}, {0x13, 0}, {0x16, 0}, {0x14, 5}};

std::string Hex(uint64_t value, int digits = 8) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%0*llX", digits, (unsigned long long)value);
  return text;
}

std::string FunctionName(uint32_t device, uint32_t function) {
  char text[32];
  std::snprintf(text, sizeof text, "00:%02X.%u", device, function);
  return text;
}

// A line of the log quoted in a problem: printable ASCII only, and short,
// so that a line of binary noise cannot garble the report.
std::string Quote(const std::string &text) {
  constexpr size_t kLimit = 100;
  std::string out;
  for (size_t i = 0; i < text.size() && i < kLimit; i++) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    out += c >= 0x20 && c < 0x7F ? char(c) : '?';
  }
  if (text.size() > kLimit) out += "...";
  return out;
}

std::string At(size_t line) { return "line " + std::to_string(line) + ": "; }

bool InPeiVolume(uint32_t address) {
  return address >= kPeiVolumeBase && address < kPeiVolumeEnd;
}

// Reads the fields an event needs; records a problem for each missing one.
class Fields {
 public:
  Fields(const LogLine &line, std::vector<std::string> &problems)
      : line_(line), problems_(problems) {}
  uint32_t operator()(const char *key) {
    std::optional<uint32_t> value = line_.Number(key);
    if (!value) {
      problems_.push_back(At(line_.number) + Quote(line_.source + " " + line_.event) +
                          " has no number " + key);
      return 0;
    }
    return *value;
  }

 private:
  const LogLine &line_;
  std::vector<std::string> &problems_;
};

}  // namespace

std::optional<uint32_t> LogLine::Number(const std::string &key) const {
  auto it = fields.find(key);
  uint64_t value = 0;
  std::string unused;
  if (it == fields.end() || !toolio::ParseUnsigned(it->second, 0, 0xFFFFFFFF, value, unused)) {
    return std::nullopt;
  }
  return uint32_t(value);
}

std::vector<LogLine> ParseLog(std::istream &in, std::vector<std::string> *malformed) {
  std::vector<LogLine> lines;
  std::string text;
  size_t number = 0;
  while (std::getline(in, text)) {
    number++;
    if (!text.empty() && text.back() == '\r') {
      text.pop_back();
    }
    if (text.empty()) {
      continue;
    }
    size_t colon = text.find(": ");
    std::istringstream words(colon == std::string::npos ? "" : text.substr(colon + 2));
    LogLine line;
    line.number = number;
    line.source = colon == std::string::npos ? "" : text.substr(0, colon);
    bool ok = !line.source.empty() && line.source.find(' ') == std::string::npos &&
              static_cast<bool>(words >> line.event) &&
              line.event.find('=') == std::string::npos;
    std::string word, why = "unreadable";
    while (ok && words >> word) {
      size_t equals = word.find('=');
      ok = equals != std::string::npos && equals != 0;
      // A key given twice: either value could be the one meant.
      if (ok && !line.fields.emplace(word.substr(0, equals), word.substr(equals + 1)).second) {
        ok = false;
        why = "key '" + Quote(word.substr(0, equals)) + "' given twice";
      }
    }
    if (ok) {
      lines.push_back(std::move(line));
    } else if (malformed != nullptr) {
      malformed->push_back(At(number) + why + ": " + Quote(text));
    }
  }
  return lines;
}

BootReport Interpret(const std::vector<LogLine> &lines) {
  BootReport r;
  auto problem = [&](const LogLine &line, const std::string &what) {
    r.problems.push_back(At(line.number) + what);
  };
  // Events that happen once in a boot, and the line each was first seen on.
  const std::set<std::string> kOnce = {"stall-provider entry", "stall-provider installed",
                                       "stall-provider end-of-pei", "usb-consumer entry",
                                       "usb-consumer done"};
  std::map<std::string, size_t> seenOnce;
  // The line each controller id and each PCI function was reported on (a
  // log may be long: no scan of everything seen so far per line).
  std::map<uint32_t, size_t> controllerLines;
  std::map<std::pair<uint32_t, uint32_t>, size_t> functionLines;
  // The consumer's "done" and the end of PEI both end QEMU: nothing follows.
  std::optional<size_t> lastLine;
  for (const LogLine &line : lines) {
    Fields num(line, r.problems);
    const std::string &s = line.source;
    const std::string &e = line.event;
    const std::string event = Quote(s + " " + e);
    if (lastLine) {
      problem(line, event + " after the log's last event (line " + std::to_string(*lastLine) +
                        "), which ends QEMU");
      continue;
    }
    if (kOnce.count(s + " " + e)) {
      auto first = seenOnce.emplace(s + " " + e, line.number);
      if (!first.second) {
        problem(line, event + " again (first on line " + std::to_string(first.first->second) +
                          ")");
        continue;
      }
    }
    if (s == "usb-consumer" && e != "entry" && !r.consumerLine) {
      problem(line, event + " before the consumer's entry");
    }
    if (s == "stall-provider" && e == "entry") {
      r.stallProviderLine = line.number;
      r.stallProviderMemory = num("memory");
      r.acpiIo = line.Has("acpi-io") ? line.fields.at("acpi-io") : "";
    } else if (s == "stall-provider" && e == "installed") {
      r.stallInstallStatus = num("status");
    } else if (s == "stall-provider" && e == "usb-controller-ppi-installed") {
      if (r.ppiInstalledLine) {
        problem(line, "PEI_USB_CONTROLLER_PPI installed again (first on line " +
                          std::to_string(*r.ppiInstalledLine) + ")");
      } else {
        r.ppiInstalledLine = line.number;
        r.ppiInstalledMemory = num("memory");
      }
    } else if (s == "stall-provider" && e == "end-of-pei") {
      r.endOfPei = true;
      lastLine = line.number;
    } else if (s == "stall" && e == "begin") {
      if (!r.stalls.empty() && !r.stalls.back().ticks) {
        problem(line, "Stall begins while the one begun on line " +
                          std::to_string(r.stalls.back().line) + " has not ended");
      }
      StallCall call;
      call.line = line.number;
      call.microseconds = num("us");
      call.memory = num("memory");
      call.usbPpi = num("usb-ppi");
      r.stalls.push_back(call);
    } else if (s == "stall" && e == "end") {
      if (r.stalls.empty() || r.stalls.back().ticks) {
        problem(line, "Stall end without begin");
      } else {
        r.stalls.back().ticks = num("ticks");
      }
    } else if (s == "usb-consumer" && e == "entry") {
      r.consumerLine = line.number;
      r.consumerMemory = num("memory");
      r.locateStatus = num("locate-status");
      r.ppi = num("ppi");
      r.getUsbController = num("get-usb-controller");
    } else if (s == "usb-consumer" && e == "controller") {
      Controller c;
      c.line = line.number;
      c.id = num("id");
      c.status = num("status");
      c.type = num("type");
      c.base = num("base");
      auto first = controllerLines.emplace(c.id, c.line);
      if (!first.second) {
        problem(line, "controller id " + std::to_string(c.id) + " reported again (first on line " +
                          std::to_string(first.first->second) + ")");
      } else {
        r.controllers.push_back(c);
      }
    } else if (s == "usb-consumer" && e == "ehci-capability") {
      uint32_t id = num("id");
      if (r.controllers.empty() || r.controllers.back().id != id) {
        problem(line, "capability of an id not reported just before");
      } else if (r.controllers.back().capability) {
        problem(line, "capability of id " + std::to_string(id) + " reported again");
      } else {
        r.controllers.back().capability = num("dword");
      }
    } else if (s == "usb-consumer" && e == "pci") {
      PciFunction f;
      f.line = line.number;
      f.device = num("device");
      f.function = num("function");
      f.ohci = line.Has("kind") && line.fields.at("kind") == "ohci";
      f.ids = num("id");
      f.command = num("command");
      f.bar0 = num("bar0");
      if (line.Has("hcrevision")) {
        f.hcRevision = num("hcrevision");
      }
      auto first = functionLines.emplace(std::make_pair(f.device, f.function), f.line);
      if (!first.second) {
        problem(line, "PCI function " + FunctionName(f.device, f.function) +
                          " reported again (first on line " + std::to_string(first.first->second) +
                          ")");
      } else {
        r.functions.push_back(f);
      }
    } else if (s == "usb-consumer" && e == "done") {
      r.consumerDone = true;
      lastLine = line.number;
    } else {
      problem(line, "unknown event " + event);
    }
  }
  return r;
}

BootReport ReadBootLog(std::istream &in) {
  std::vector<std::string> malformed;
  std::vector<LogLine> lines = ParseLog(in, &malformed);
  BootReport report = Interpret(lines);
  report.problems.insert(report.problems.begin(), malformed.begin(), malformed.end());
  return report;
}

std::vector<Check> CheckBoot(const BootReport &r, Dispatch dispatch,
                             const std::optional<ModuleExtent> &extent) {
  std::vector<Check> checks;
  auto check = [&](const std::string &what, bool ok, const std::string &detail) {
    checks.push_back({what, ok, ok ? "" : detail});
  };

  check("the log is well formed", r.problems.empty(),
        r.problems.empty() ? "" : r.problems.front());
  check("the consumer ran and completed its report",
        r.consumerLine.has_value() && r.consumerDone && !r.endOfPei,
        !r.consumerLine ? (r.endOfPei ? "PEI ended and the consumer never ran"
                                      : "no consumer entry in the log")
                        : "the report stops early");
  check("the consumer located PEI_USB_CONTROLLER_PPI",
        r.consumerLine.has_value() && r.locateStatus == kEfiSuccess,
        r.consumerLine ? "LocatePpi returned " + Hex(r.locateStatus) : "the consumer never ran");

  // GetUsbController, id by id.
  auto controller = [&](uint32_t id) -> const Controller * {
    for (const Controller &c : r.controllers) {
      if (c.id == id) return &c;
    }
    return nullptr;
  };
  for (uint32_t id = 0; id < kEhciCount; id++) {
    const Controller *c = controller(id);
    uint32_t base = kEhciBase + id * kBaseStride;
    check("id " + std::to_string(id) + ": EFI_SUCCESS, type 3, base " + Hex(base),
          c && c->status == kEfiSuccess && c->type == kEhciType && c->base == base,
          c ? "status " + Hex(c->status) + " type " + Hex(c->type) + " base " + Hex(c->base)
            : "not asked");
    check("EHCI at " + Hex(base) + ": CAPLENGTH 0x20, HCIVERSION 0x0100",
          c && c->capability == kEhciCapability,
          c && c->capability ? "capability dword " + Hex(*c->capability) : "not read");
  }
  const Controller *rejected = controller(kEhciCount);
  check("id 3: EFI_INVALID_PARAMETER, nothing written",
        rejected && rejected->status == kEfiInvalidParameter && rejected->type == kUnwritten &&
            rejected->base == kUnwritten,
        rejected ? "status " + Hex(rejected->status) + " type " + Hex(rejected->type) + " base " +
                       Hex(rejected->base)
                 : "not asked");

  // The seven functions, read back through PCI configuration space.
  auto function = [&](const Bdf &bdf) -> const PciFunction * {
    for (const PciFunction &f : r.functions) {
      if (f.device == bdf.device && f.function == bdf.function) return &f;
    }
    return nullptr;
  };
  auto seen = [&](const PciFunction *f) {
    if (!f) return std::string("not read");
    std::string text = "ids " + Hex(f->ids) + " command " + Hex(f->command, 4) + " BAR0 " +
                       Hex(f->bar0);
    if (f->hcRevision) text += " HcRevision " + Hex(*f->hcRevision);
    return text;
  };
  for (uint32_t i = 0; i < kEhciCount; i++) {
    const PciFunction *f = function(kEhciFunctions[i]);
    uint32_t base = kEhciBase + i * kBaseStride;
    check(FunctionName(kEhciFunctions[i].device, kEhciFunctions[i].function) +
              " EHCI: memory decoding on, BAR0 " + Hex(base) + " as reported for id " +
              std::to_string(i),
          f && f->ids != 0xFFFFFFFF && (f->command & kPciCommandMemory) &&
              (f->bar0 & kBarMemoryMask) == base,
          seen(f));
  }
  for (uint32_t j = 0; j < 4; j++) {
    const PciFunction *f = function(kOhciFunctions[j]);
    uint32_t base = kOhciBase + j * kBaseStride;
    check(FunctionName(kOhciFunctions[j].device, kOhciFunctions[j].function) +
              " OHCI: memory decoding and bus mastering on, BAR0 " + Hex(base) +
              ", HcRevision 0x10",
          f && f->ids != 0xFFFFFFFF && (f->command & kPciCommandMemory) &&
              (f->command & kPciCommandBusMaster) && (f->bar0 & kBarMemoryMask) == base &&
              f->hcRevision && (*f->hcRevision & 0xFF) == kOhciRevision,
          seen(f));
  }

  // Installation, then the one-second Stall, then the consumer.
  const StallCall *stall = nullptr;
  for (const StallCall &call : r.stalls) {
    if (call.microseconds == kStallMicroseconds) {
      stall = &call;
      break;
    }
  }
  check("Stall(1000000 us) asked after PEI_USB_CONTROLLER_PPI was installed",
        stall && r.ppiInstalledLine && *r.ppiInstalledLine < stall->line && stall->usbPpi == 1,
        !stall ? "no Stall of 1000000 us (" + std::to_string(r.stalls.size()) + " calls)"
               : !r.ppiInstalledLine ? "the PPI was never installed"
                                     : "Stall at line " + std::to_string(stall->line) +
                                           ", PPI installed at line " +
                                           std::to_string(*r.ppiInstalledLine));
  check("the module stalled once, and the Stall returned before the consumer ran",
        r.stalls.size() == 1 && stall && stall->ticks && r.consumerLine &&
            stall->line < *r.consumerLine,
        std::to_string(r.stalls.size()) + " Stall calls" +
            (stall && !stall->ticks ? ", the Stall never returned" : ""));

  // Where and when the module ran.
  bool installedBeforeMemory = r.ppiInstalledLine && r.ppiInstalledMemory == 0;
  bool stalledBeforeMemory = stall && stall->memory == 0;
  std::string where = "PPI installed with memory=" + std::to_string(r.ppiInstalledMemory) +
                      ", Stall with memory=" + (stall ? std::to_string(stall->memory) : "?") +
                      ", GetUsbController at " + Hex(r.getUsbController);
  if (dispatch == Dispatch::kInPlace) {
    check("the module ran in place in the PEI volume, before memory",
          installedBeforeMemory && stalledBeforeMemory && InPeiVolume(r.getUsbController),
          where);
  } else {
    check("the module ran after memory, from a relocated copy in RAM",
          r.ppiInstalledLine && !installedBeforeMemory && stall && !stalledBeforeMemory &&
              r.getUsbController != 0 && !InPeiVolume(r.getUsbController),
          where);
  }
  // The volume is in RAM in this firmware, so a module linked to the wrong
  // address would still run from somewhere in it; only its own image's
  // extent, as placed, shows that it ran where it lies.
  if (extent) {
    check("GetUsbController lies in the module's image as placed, " + Hex(extent->start) + "-" +
              Hex(extent->end),
          r.consumerLine && r.locateStatus == kEfiSuccess && r.getUsbController >= extent->start &&
              r.getUsbController < extent->end,
          "GetUsbController at " + Hex(r.getUsbController) + " (PPI instance at " + Hex(r.ppi) +
              ")");
  }
  return checks;
}

namespace {

void More(std::ostream &out, size_t count, const char *what) {
  if (count > kMaxPrintedEvents) {
    out << "  ... and " << count - kMaxPrintedEvents << " more " << what << "\n";
  }
}

}  // namespace

void PrintReport(std::ostream &out, const BootReport &r) {
  out << "Stall provider: "
      << (r.stallProviderLine ? std::string(r.stallProviderMemory ? "after" : "before") +
                                    " memory, ACPI I/O " + Quote(r.acpiIo)
                              : std::string("never ran"))
      << "\n";
  if (r.ppiInstalledLine) {
    out << "PEI_USB_CONTROLLER_PPI installed (line " << *r.ppiInstalledLine << ", "
        << (r.ppiInstalledMemory ? "after" : "before") << " memory)\n";
  } else {
    out << "PEI_USB_CONTROLLER_PPI never installed\n";
  }
  for (size_t i = 0; i < r.stalls.size() && i < kMaxPrintedEvents; i++) {
    const StallCall &call = r.stalls[i];
    out << "Stall(" << call.microseconds << " us) (line " << call.line << ", "
        << (call.memory ? "after" : "before") << " memory, the PPI "
        << (call.usbPpi ? "installed" : "not installed") << "): "
        << (call.ticks ? "waited " + std::to_string(*call.ticks) + " PM timer ticks"
                       : std::string("never returned"))
        << "\n";
  }
  More(out, r.stalls.size(), "Stall calls");
  if (!r.consumerLine) {
    out << "Consumer: never ran" << (r.endOfPei ? " (PEI ended)" : "") << "\n";
  } else {
    out << "Consumer: ran " << (r.consumerMemory ? "after" : "before")
        << " memory; LocatePpi " << Hex(r.locateStatus) << ", PPI at " << Hex(r.ppi)
        << ", GetUsbController at "
        << Hex(r.getUsbController) << " ("
        << (InPeiVolume(r.getUsbController) ? "in place in the PEI volume"
                                            : "outside the PEI volume")
        << ")\n";
  }
  for (size_t i = 0; i < r.controllers.size() && i < kMaxPrintedEvents; i++) {
    const Controller &c = r.controllers[i];
    out << "  id " << c.id << ": ";
    if (c.status != kEfiSuccess) {
      out << "rejected, status " << Hex(c.status)
          << (c.type == kUnwritten && c.base == kUnwritten ? ", nothing written"
                                                           : ", but Type/Base written")
          << "\n";
      continue;
    }
    out << "type " << c.type << ", base " << Hex(c.base);
    if (c.capability) {
      out << ", CAPLENGTH " << Hex(*c.capability & 0xFF, 2) << ", HCIVERSION "
          << Hex(*c.capability >> 16, 4);
    }
    out << "\n";
  }
  More(out, r.controllers.size(), "controllers");
  for (size_t i = 0; i < r.functions.size() && i < kMaxPrintedEvents; i++) {
    const PciFunction &f = r.functions[i];
    out << "  " << FunctionName(f.device, f.function) << (f.ohci ? " OHCI" : " EHCI") << " "
        << Hex(f.ids & 0xFFFF, 4).substr(2) << ":" << Hex(f.ids >> 16, 4).substr(2)
        << " command " << Hex(f.command, 4) << " (memory "
        << (f.command & kPciCommandMemory ? "on" : "off") << ", bus master "
        << (f.command & kPciCommandBusMaster ? "on" : "off") << "), BAR0 " << Hex(f.bar0);
    if (f.hcRevision) out << ", HcRevision " << Hex(*f.hcRevision);
    out << "\n";
  }
  More(out, r.functions.size(), "PCI functions");
  if (r.endOfPei) out << "PEI ended without the consumer's report\n";
  for (size_t i = 0; i < r.problems.size() && i < kMaxPrintedProblems; i++) {
    out << "log: " << r.problems[i] << "\n";
  }
  if (r.problems.size() > kMaxPrintedProblems) {
    out << "log: ... and " << r.problems.size() - kMaxPrintedProblems << " more problems\n";
  }
}

}  // namespace testbed
