#include "report.h"

#include <cstdio>
#include <sstream>

#include "disasm.h"
#include "report_internal.h"

namespace peimsim {
namespace {

std::string Pad(const std::string &s, size_t width) {
  return s.size() >= width ? s : s + std::string(width - s.size(), ' ');
}

std::string PadLeft(const std::string &s, size_t width) {
  return s.size() >= width ? s : std::string(width - s.size(), ' ') + s;
}


std::string Offset(const Platform &p, const Event &e) {
  return p.InImage(e.eip) ? "+" + Hex(e.eip - p.LoadAddress(), 4) : Hex(e.eip, 8);
}


// The instruction behind a violation, as " (at ADDRESS: mov eax, ...)".
std::string ViolationInstruction(const Platform &p, const Violation &v,
                                 const ImageSymbols *symbols) {
  std::string insn = v.hasEip ? InstructionText(p, v.eip) : "";
  std::string function = insn.empty() ? "" : FunctionAt(p, symbols, v.eip);
  return insn.empty() ? ""
                      : " (at " + Hex(v.eip, 8) + (function.empty() ? "" : " " + function) +
                            ": " + insn + ")";
}

std::string ValueText(const Event &e) { return Hex(e.value, e.width / 4); }

// Console text between quotes: its quotes and backslashes escaped, so that
// nothing it holds reads as the end of the text.
std::string Quoted(const std::string &text) {
  std::string escaped;
  for (char c : text) {
    if (c == '"' || c == '\\') escaped += '\\';
    escaped += c;
  }
  return "\"" + Printable(escaped) + "\"";
}

std::string TraceBody(const Platform &p, const Event &e) {
  if (e.kind == EventKind::kConsole) return "CON   " + Quoted(p.ConsoleLines()[e.service]);
  if (e.kind == EventKind::kService) {
    const ServiceCall &s = p.Services()[e.service];
    std::string line = "PEI   " + s.name + " (" + s.arguments + ")  => " + StatusName(s.status);
    if (s.injected) line += " [injected]";
    if (!s.results.empty()) line += "  " + s.results;
    if (e.phase == Phase::kConsumer) line += "  [from GetUsbController]";
    return line;
  }
  std::string kind = e.kind == EventKind::kPort ? "IO" : e.kind == EventKind::kMemory ? "MMIO" : "RAM";
  std::string op = e.kind == EventKind::kPort ? (e.write ? "out" : "in") : (e.write ? "wr" : "rd");
  std::string address = e.kind == EventKind::kPort ? Hex(e.address, 4) : Hex(e.address, 8);
  return Pad(kind, 6) + Pad(op + std::to_string(e.width), 7) + Pad(address, 12) +
         Pad(ValueText(e), 12) + TargetText(p, e);
}

// A configuration access as one line (--trace pci): the function and
// register, the width and the value, as QEMU's pci_cfg_read/pci_cfg_write
// trace has them, then what the register is.
std::string PciBody(const Platform &p, const Event &e) {
  std::string where = Bdf(e.configAddress) + " @" + Hex(e.target.offset, 2);
  std::string target = TargetText(p, e);
  size_t name = target.find(' ', target.find('+'));  // past "PCI BB:DD.F +OFF"
  return Pad("PCI", 6) + Pad(std::string(e.write ? "wr" : "rd") + std::to_string(e.width), 7) +
         Pad(where, 15) + Pad(ValueText(e), 12) +
         (name == std::string::npos ? std::string() : target.substr(name + 1));
}

std::string Trim(const std::string &s) {
  size_t a = s.find_first_not_of(" \t\r"), b = s.find_last_not_of(" \t\r");
  return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

// The first word of a trace line's body: what kind of event it is.
bool EventKindWord(const std::string &word) {
  for (const char *kind : {"IO", "MMIO", "RAM", "PEI", "CON", "PCI", "..."})
    if (word == kind) return true;
  return false;
}

// A trace line without its number, image offset and function (a word
// before the event's kind), blanks collapsed.
std::string CompareKey(const std::string &line) {
  std::istringstream in(line);
  std::string word, key;
  int n = 0;
  while (in >> word) {
    if (n++ < 2 || (n == 3 && !EventKindWord(word))) continue;
    key += (key.empty() ? "" : " ") + word;
  }
  return key;
}

// The same event: the lines are equal, or the saved one is this run's
// followed by the --disasm column (" ; " and the instruction). Only that
// column is left out: a " ; " inside a line (console text, a name) is
// compared like any other word.
bool SameEvent(const std::string &actual, const std::string &expected) {
  std::string a = CompareKey(actual), e = CompareKey(expected);
  return a == e || (e.size() > a.size() + 3 && e.compare(0, a.size() + 3, a + " ; ") == 0);
}

// ---- Shared figures -----------------------------------------------------------


// At most this many items of a list go into a summary line.
constexpr size_t kListedInSummary = 16;

std::string Listed(const std::vector<std::string> &items, uint64_t total) {
  std::string s;
  for (size_t i = 0; i < items.size() && i < kListedInSummary; i++) s += (i ? ", " : "") + items[i];
  if (total > kListedInSummary)
    s += " and " + std::to_string(total - std::min<uint64_t>(items.size(), kListedInSummary)) +
         " more";
  return s;
}

std::string TruncationLine(const Platform &p) {
  return "... trace truncated after " + std::to_string(p.Events().size()) + " events; " +
         std::to_string(p.DroppedEvents()) + " more were counted, not recorded";
}

std::string SectionFlags(uint32_t c) {
  std::string s;
  if (c & pe::kScnCntCode) s += "code ";
  if (c & pe::kScnCntInitializedData) s += "data ";
  if (c & pe::kScnCntUninitializedData) s += "bss ";
  if (c & pe::kScnMemDiscardable) s += "discardable ";
  s += (c & pe::kScnMemRead) ? "R" : "-";
  s += (c & pe::kScnMemWrite) ? "W" : "-";
  s += (c & pe::kScnMemExecute) ? "X" : "-";
  return s;
}

std::string FailureText(const Failure &f) {
  return f.service + " returns " + StatusName(f.status) +
         (f.call ? " on call " + std::to_string(f.call) : " on every call");
}

std::string QueryText(const ConsumerQuery &q) {
  std::string call = Pad("GetUsbController (Id " + std::to_string(q.id) + ")", 26);
  // EAX of a call that never came back is no status.
  if (!q.returned) return call + "did not return";
  std::string s = call + "=> " + Pad(StatusName(q.status), 23);
  if (q.status & kErrorBit)
    return s + (q.typeWritten || q.baseWritten ? "wrote its outputs anyway: Type " + Hex(q.type, 8) +
                                                     ", Base " + Hex(q.base, 8)
                                               : "outputs untouched");
  if (!q.typeWritten || !q.baseWritten)
    return s + "left " + (q.typeWritten ? "BaseAddress" : q.baseWritten ? "ControllerType" : "both outputs") +
           " unwritten";
  return s + "Type " + std::to_string(q.type) + (q.type == 3 ? " (PEI_EHCI_CONTROLLER)" : "") +
         "  Base " + Hex(q.base, 8);
}


std::string AbsentText(const AbsentAccess &a) {
  return "PCI " + Bdf(a.configAddress) + " +" + Hex(a.offset, 2) + " " +
         std::to_string(a.width) + "-bit " + (a.write ? "write" : "read") +
         (a.count > 1 ? " x" + std::to_string(a.count) : "");
}

std::string ViolationCount(const Violation &v) {
  return v.count > 1 ? " (" + std::to_string(v.count) + " times by this instruction)" : "";
}

}  // namespace

// The length of the well-formed UTF-8 sequence at s[i] (no overlong forms,
// no surrogates, nothing above U+10FFFF), or 0; its code point in cp.
size_t Utf8Sequence(const std::string &s, size_t i, uint32_t &cp) {
  unsigned char c = s[i];
  size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
  if (n == 0 || i + n > s.size()) return 0;
  cp = n == 1 ? c : n == 2 ? c & 0x1F : n == 3 ? c & 0x0F : c & 0x07;
  for (size_t k = 1; k < n; k++) {
    unsigned char t = s[i + k];
    if ((t & 0xC0) != 0x80) return 0;
    cp = cp << 6 | (t & 0x3F);
  }
  static const uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kLeast[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n;
}

std::string Bdf(uint32_t configAddress) {
  char s[16];
  snprintf(s, sizeof s, "%02X:%02X.%X", configAddress >> 16 & 0xFF, configAddress >> 11 & 0x1F,
           configAddress >> 8 & 7);
  return s;
}

RegisterText NamedRegister(const Platform &p, const Event &e) {
  const Chipset &c = p.chipset();
  RegisterText t;
  if (!e.target.claimed) return t;
  if (e.kind == EventKind::kPort && e.portKind == PortKind::kConfigData && e.target.device >= 0) {
    t = c.DescribeRegister(RegisterLayout::kConfig, e.target.device, e.target.offset, e.width,
                           e.value);
    if (t.name.empty()) t.name = Chipset::ConfigRegisterName(e.target.offset, e.width);
  } else if (e.kind == EventKind::kMemory && e.target.device == kChipsetDevice) {
    t = c.DescribeRegister(RegisterLayout::kBlock, e.target.region, e.target.offset, e.width,
                           e.value);
  } else if (e.kind == EventKind::kMemory && e.target.device >= 0) {
    t = c.DescribeRegister(RegisterLayout::kRegs, e.target.device, e.target.offset, e.width,
                           e.value);
    if (t.name.empty() && c.Function(e.target.device).ehci)
      t.name = Chipset::EhciRegisterName(e.target.offset, e.width);
  }
  return t;
}

// What an access touched, in a firmware engineer's words.
std::string TargetText(const Platform &p, const Event &e) {
  const Chipset &c = p.chipset();
  if (e.kind == EventKind::kPort) {
    switch (e.portKind) {
      case PortKind::kConfigAddress:
        if (!e.write) return "CONFIG_ADDRESS";
        return "CONFIG_ADDRESS <- PCI " + Bdf(e.configAddress) + " +" +
               Hex(e.configAddress & 0xFF, 2) +
               ((e.configAddress & kConfigEnable) ? "" : " (enable bit clear)");
      case PortKind::kConfigData: {
        std::string s = "PCI " + Bdf(e.configAddress) + " +" + Hex(e.target.offset, 2);
        if (!e.target.claimed) return s + " (absent function)";
        RegisterText named = NamedRegister(p, e);
        if (!named.name.empty()) s += " " + named.name;
        s += " (" + c.Function(e.target.device).role + ")";
        return named.fields.empty() ? s : s + " " + named.fields;
      }
      case PortKind::kConfigDisabled: return "CONFIG_DATA with the enable bit clear";
      case PortKind::kConfigBadWidth: return "PCI configuration port at a wrong width";
      case PortKind::kUnclaimed: return "no device";
      case PortKind::kConsole: return "debug console";
      case PortKind::kDevice: return c.ModelPortName(e.target.region, uint16_t(e.address));
    }
  }
  if (e.kind == EventKind::kRamWrite) return p.Where(uint32_t(e.address));
  if (!e.target.claimed) return "no device claims it";
  if (e.target.device == kModelDevice) {
    std::string name = c.Model(e.target.region).MemoryName(uint32_t(e.address));
    return c.Model(e.target.region).Name() + " " + Hex(e.address, 8) +
           (name.empty() ? "" : " " + name);
  }
  if (e.target.device == kChipsetDevice) {
    std::string s = c.Region(e.target.region).name + " " + Hex(e.address, 8);
    if (e.width > 8) s += "-" + Hex(e.address + e.width / 8 - 1, 8).substr(8);
    RegisterText named = NamedRegister(p, e);
    if (!named.name.empty()) s += " " + named.name;
    return named.fields.empty() ? s : s + " " + named.fields;
  }
  const PciFunction &f = c.Function(e.target.device);
  std::string s = f.role + " MMIO +" + Hex(e.target.offset, 2);
  RegisterText named = NamedRegister(p, e);
  if (!named.name.empty()) s += " " + named.name;
  return named.fields.empty() ? s : s + " " + named.fields;
}

// The entry's figures count every event, recorded in the trace or not.
const EventCounts &Count(const Platform &p) { return p.Counts(Phase::kEntry); }

ModuleWork Work(const Platform &p) {
  ModuleWork w;
  for (const InstalledPpi &ppi : p.Ppis())
    if (ppi.byModule) w.installed.push_back(GuidName(ppi.guid));
  for (const Allocation &a : p.Allocations()) {
    if (a.pages) {
      w.pages.push_back(std::to_string(a.pages) + " at " + Hex(a.address, 8) + " (" +
                        MemoryTypeName(a.type) + ")");
    } else if (a.address >= p.EarlierHobEnd()) {
      // CreateHob's records carry no memory type; AllocatePool's buffers do.
      std::string text = std::to_string(a.bytes) + " bytes at " + Hex(a.address, 8);
      (a.type == 0 ? w.created : w.pool).push_back(text);
    }
  }
  const std::vector<Notification> &n = p.Notifications();
  for (size_t i = p.EarlierNotifications(); i < n.size(); i++) {
    bool ran = p.CallbackRan(n[i].function);
    // EFI_PEI_PPI_DESCRIPTOR_NOTIFY_CALLBACK (a descriptor with both flags is one)
    std::string kind = (n[i].flags & 0x20) ? "callback" : "dispatch";
    w.registered.push_back(GuidName(n[i].guid) + " (" + kind + (ran ? ", ran" : ", never ran") + ")");
    if (!ran) w.waiting.push_back("the " + kind + " for " + GuidName(n[i].guid));
  }
  if (p.ShadowPending()) w.waiting.push_back("the entry in memory (RegisterForShadow)");
  return w;
}


std::string InstructionText(const Platform &p, uint32_t address) {
  if (!p.InImage(address)) return "";
  uint8_t code[kMaxInstructionBytes];
  size_t n = std::min<uint64_t>(kMaxInstructionBytes, uint64_t(p.ImageEnd()) - address);
  if (!p.Read(address, code, n)) return "";
  return DisassembleX86(code, n, address);
}

std::string FunctionAt(const Platform &p, const ImageSymbols *symbols, uint32_t address) {
  return symbols && p.InImage(address) ? symbols->Name(address - p.LoadAddress()) : "";
}

// The function column as wide as the widest name of the run, shown or not:
// a line reads the same in every view.
size_t SymbolWidth(const Platform &p, const ImageSymbols &symbols) {
  size_t width = std::string("function").size();
  for (const Event &e : p.Events()) width = std::max(width, FunctionAt(p, &symbols, e.eip).size());
  return width + 2;
}

std::vector<std::string> TraceLines(const Platform &p, bool disasm, const TraceView *view,
                                    const ImageSymbols *symbols) {
  std::vector<std::string> lines;
  size_t symbolWidth = symbols ? SymbolWidth(p, *symbols) : 0;
  int n = 0;
  for (const Event &e : p.Events()) {
    ++n;
    if (view && !Shown(*view, p, e)) continue;
    std::string body = view && view->pci && IsConfigAccess(e) ? PciBody(p, e) : TraceBody(p, e);
    std::string line = PadLeft(std::to_string(n), 5) + "  " + Pad(Offset(p, e), 9);
    if (symbols) line += Pad(FunctionAt(p, symbols, e.eip), symbolWidth);
    line += body;
    std::string insn = disasm ? InstructionText(p, e.eip) : "";
    lines.push_back(insn.empty() ? line : Pad(line, 100) + "  ; " + insn);
  }
  // A truncated trace says so in a line of its own, which --expect compares
  // like any other: two runs match only if both stopped recording alike.
  if (p.DroppedEvents()) lines.push_back("    -  -        " + TruncationLine(p));
  return lines;
}

bool ReadSavedTrace(const std::string &saved, std::vector<std::string> &lines) {
  lines.clear();
  std::istringstream in(saved);
  std::string line;
  bool inTrace = false;
  while (std::getline(in, line)) {
    if (!inTrace) {
      inTrace = Trim(line) == "Trace";
      continue;
    }
    std::string t = Trim(line);
    if (t.empty()) break;
    if (t[0] == '#') continue;        // the column heading
    if (t == "(no access)") continue;  // an empty trace
    lines.push_back(line);
  }
  return inTrace;
}

ExpectResult CompareTrace(const std::vector<std::string> &actual,
                          const std::vector<std::string> &expected) {
  // Every differing line, up to kListed of them, then their count: the
  // first shows where the runs part, the others whether they meet again.
  constexpr size_t kListed = 20;
  ExpectResult r;
  size_t n = std::min(actual.size(), expected.size());
  size_t differing = 0;
  std::string more;
  for (size_t i = 0; i < n; i++) {
    if (SameEvent(actual[i], expected[i])) continue;
    differing++;
    const std::string pair = "  expected: " + Printable(Trim(expected[i])) + "\n  actual:   " +
                             Trim(actual[i]);
    if (differing == 1)
      r.difference = "first difference at trace line " + std::to_string(i + 1) + ":\n" + pair;
    else if (differing <= kListed)
      more += "\n line " + std::to_string(i + 1) + ":\n" + pair;
  }
  if (differing > 1) {
    r.difference += "\n" + std::to_string(differing) + " lines differ in all" +
                    (differing > kListed ? " (the first " + std::to_string(kListed) + " shown)"
                                         : std::string()) +
                    ":" + more;
  }
  if (actual.size() != expected.size()) {
    if (!r.difference.empty()) r.difference += "\n";
    r.difference += "the trace has " + std::to_string(actual.size()) + " lines, the saved one " +
                    std::to_string(expected.size()) + "; first extra line:\n  " +
                    (actual.size() > n ? Trim(actual[n]) : Printable(Trim(expected[n])));
  }
  r.match = r.difference.empty();
  return r;
}

std::string Printable(const std::string &text) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    uint32_t cp = 0;
    size_t n = Utf8Sequence(text, i, cp);
    if (n == 0 || cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) {
      char b[8];
      snprintf(b, sizeof b, "\\x%02X", (unsigned char)text[i]);
      out += b;
      i++;  // a C1 control's second byte then shows as \xNN too
    } else {
      out.append(text, i, n);
      i += n;
    }
  }
  return out;
}

std::string NotCleanReason(const RunReport &r) {
  const std::vector<Violation> &v = r.platform->Violations();
  std::string reason;
  if (!v.empty()) {
    const Violation &first = v.front();
    const Platform &p = *r.platform;
    std::string at = !first.hasEip ? ""
                     : p.InImage(first.eip) ? " at +" + Hex(first.eip - p.LoadAddress(), 4)
                                            : " at " + Hex(first.eip, 8);
    reason = std::to_string(v.size()) + (v.size() == 1 ? " violation" : " violations") +
             ", the first [" + first.kind + "]" + at + ": " + first.message;
  } else if (!r.entry.returned) {
    reason = "the entry did not return";
  } else if (r.expect && !r.expect->match) {
    reason = "the trace differs from " + Printable(r.expect->path);
  }
  return reason;
}

bool CleanRun(const RunReport &r) {
  return r.entry.returned && r.platform->Violations().empty() && (!r.expect || r.expect->match);
}

std::string RenderText(const RunReport &r, bool quiet) {
  const Platform &p = *r.platform;
  const pe::Image &img = p.image();
  std::string s;
  auto line = [&](const std::string &label, const std::string &text) {
    s += "  " + Pad(label, 14) + text + "\n";
  };
  if (!quiet) {
    s += "peim-sim: " + Printable(r.imagePath) + "\n\nImage\n";
    if (!r.source.empty()) line("source", Printable(r.source));
    if (!r.dispatch.empty()) line("dispatch", Printable(r.dispatch));
    for (const std::string &n : r.notes) line("note", Printable(n));
    line("format", std::string(img.IsTe() ? "TE" : img.magic == pe::kMagicPe32 ? "PE32" : "?") + ", " +
                       (img.machine == pe::kMachineI386 ? "IA-32" : "?") + " (machine " +
                       Hex(img.machine, 4) + "), subsystem " + std::to_string(img.subsystem) +
                       (img.subsystem == 11 ? " (EFI boot-service driver)" : " (not 11!)"));
    line("size", std::to_string(img.bytes.size()) + " bytes in the file, " +
                     Hex(img.sizeOfImage) + " in memory, headers " + Hex(img.sizeOfHeaders) +
                     ", alignment " + Hex(img.sectionAlignment) + "/" + Hex(img.fileAlignment));
    for (size_t i = 0; i < img.sections.size(); i++) {
      const pe::Section &sec = img.sections[i];
      line(i == 0 ? "sections" : "", Pad(sec.name, 8) + " RVA " + Hex(sec.virtualAddress, 8) +
                                         "  " + PadLeft(Hex(sec.virtualSize), 6) + " bytes  " +
                                         SectionFlags(sec.characteristics));
    }
    line("relocations", std::to_string(img.relocations.size()) + " (32-bit)");
    line("entry", "RVA " + Hex(img.entryRva, 8));
    line("loaded at", Hex(p.LoadAddress(), 8) + " (preferred base " + Hex(img.imageBase, 8) +
                          "), relocations applied, " +
                          (p.ImageInRam() ? "in RAM (it has writable data)" : "mapped read+execute only"));
    if (!r.symbolsText.empty()) line("symbols", Printable(r.symbolsText));

    const PlatformOptions &o = p.options();
    s += "\nPlatform\n";
    std::string mode = BootModeName(o.bootMode);
    line("boot mode", Hex(o.bootMode, 2) + (mode.empty() ? "" : " " + mode));
    line("Stall PPI", o.stallPpi ? "installed at " + Hex(kStallPpi, 8) : "not installed");
    if (o.anyPeim) line("memory world", MemoryWorldText(o.memory));
    if (o.failures.empty()) line("failures", "none");
    for (size_t i = 0; i < o.failures.size(); i++)
      line(i ? "" : "failures", FailureText(o.failures[i]));
    line("registers", std::string(o.randomize ? "random (from " + std::to_string(o.randomizeStart) + ")"
                                              : "defaults (see --help)") +
                          (o.presets.empty() ? "" : ", " + std::to_string(o.presets.size()) + " set"));
    line("memory", "stack " + Hex(kStackBase, 8) + "-" + Hex(kStackTop - 1, 8) + ", page pool " +
                       Hex(kPoolBase, 8) + "-" + Hex(kPoolBase + kPoolPages * kPageSize - 1, 8));

    s += "\nTrace\n";
    s += PadLeft("#", 5) + "  " + Pad("image+", 9) +
         (r.symbols ? Pad("function", SymbolWidth(p, *r.symbols)) : "") + Pad("kind", 6) +
         Pad("op", 7) + Pad("address", 12) + Pad("value", 12) + "target\n";
    for (const std::string &l : TraceLines(p, r.disasm, r.view, r.symbols)) s += l + "\n";
    if (p.Events().empty() && !p.DroppedEvents()) s += "  (no access)\n";

    // With --any-peim there is no consumer: nothing asked for controllers.
    const ConsumerView &c = r.consumer;
    if (!p.options().anyPeim) {
      s += "\nConsumer\n";
      if (!c.found) {
        s += "  LocatePpi (gPeiUsbControllerPpiGuid, 0)  => EFI_NOT_FOUND\n";
      } else {
        std::string function = FunctionAt(p, r.symbols, c.function);
        s += "  LocatePpi (gPeiUsbControllerPpiGuid, 0)  => EFI_SUCCESS  descriptor " +
             Hex(c.descriptor, 8) + " (" + p.Where(c.descriptor) + ", Flags " + Hex(c.flags, 8) +
             "), Ppi " + Hex(c.ppi, 8) + " (" + p.Where(c.ppi) + "), GetUsbController " +
             Hex(c.function, 8) + " (" + p.Where(c.function) +
             (function.empty() ? "" : ", " + function) + ")\n";
        for (const ConsumerQuery &q : c.queries) s += "  " + QueryText(q) + "\n";
      }
    }
    s += "\n";
  }
  auto list = [&](const std::string &label, const std::vector<std::string> &items,
                  const char *none) {
    line(label, items.empty() ? std::string(none) : Listed(items, items.size()));
  };

  const EventCounts &f = Count(p);
  s += "Summary\n";
  line("entry", r.entry.returned ? "returned " + StatusName(r.entry.eax) + " (" + Hex(r.entry.eax, 8) + ")"
                                 : std::string("did not return"));
  char per[64] = "";
  if (f.Hardware()) snprintf(per, sizeof per, ", %.1f per hardware access", double(p.EntryInstructions()) / double(f.Hardware()));
  line("instructions", std::to_string(p.EntryInstructions()) + " in the entry" + per);
  line("hardware", std::to_string(f.Hardware()) + " accesses: " + std::to_string(f.ports) +
                       " I/O port (" + std::to_string(f.portReads) + " in, " +
                       std::to_string(f.ports - f.portReads) + " out), " + std::to_string(f.mmio) +
                       " memory-mapped (" + std::to_string(f.mmioReads) + " reads, " +
                       std::to_string(f.mmio - f.mmioReads) + " writes)");
  std::vector<std::string> calls;
  for (const ServiceCall &c : p.Services()) calls.push_back(c.name);
  uint64_t allCalls = 0;
  for (Phase phase : {Phase::kEntry, Phase::kConsumer, Phase::kCall}) allCalls += p.Counts(phase).services;
  line("PEI services", std::to_string(f.services) + (calls.empty() ? "" : ": " + Listed(calls, allCalls)));
  std::vector<std::string> stalls;
  for (uint32_t us : p.StallRequests()) stalls.push_back(std::to_string(us) + " us");
  std::string stallText = Listed(stalls, p.StallCalls());
  if (p.StallCalls() > kListedInSummary)
    stallText += " (" + std::to_string(p.StalledMicroseconds()) + " us in all)";
  line("stalls", stalls.empty() ? "none" : stallText);
  ModuleWork work = Work(p);
  list("pages", work.pages, "none allocated");
  if (p.options().anyPeim) {
    list("pool", work.pool, "none allocated");
    list("HOBs created", work.created, "none");
    list("installed", work.installed, "no PPI");
    list("registered", work.registered, "no notification");
    if (!work.waiting.empty())
      line("entry only", "its work waits in what never ran: " + Listed(work.waiting, work.waiting.size()));
  }
  // Absent functions read all ones; the code that read them took that for
  // an answer (a violation for UsbControllerPeim, a fact for any PEIM).
  std::vector<std::string> absent;
  for (const AbsentAccess &a : p.AbsentAccesses()) absent.push_back(AbsentText(a));
  if (!absent.empty()) line("absent PCI", Listed(absent, absent.size()) + " (all ones)");
  if (!p.options().anyPeim) {  // with --any-peim no consumer ran
    uint32_t answered = 0;
    for (const ConsumerQuery &q : r.consumer.queries) answered += q.returned && !(q.status & kErrorBit);
    line("consumer", r.consumer.found ? std::to_string(answered) + " controller(s) reported"
                                      : "no PEI_USB_CONTROLLER_PPI installed");
  }
  if (r.repeat) {
    char b[128];
    snprintf(b, sizeof b, "%llu dispatches in %.3f s: %.0f per second",
             (unsigned long long)r.repeat->dispatches, r.repeat->seconds,
             r.repeat->seconds > 0 ? double(r.repeat->dispatches) / r.repeat->seconds : 0.0);
    line("repeat", b);
  }
  if (p.DroppedEvents())
    line("trace", "truncated: the first " + std::to_string(p.Events().size()) + " of " +
                      std::to_string(p.Events().size() + p.DroppedEvents()) +
                      " events recorded (the limit, see --help)");
  const std::vector<Violation> &v = p.Violations();
  line("violations", v.empty() ? "none" : std::to_string(v.size()));
  for (const Violation &x : v)
    s += "    " + Pad(x.hasEip ? (p.InImage(x.eip) ? "+" + Hex(x.eip - p.LoadAddress(), 4) : Hex(x.eip, 8)) : "-", 11) +
         Pad("[" + x.kind + "]", 21) + x.message + ViolationCount(x) + ViolationInstruction(p, x, r.symbols) + "\n";
  if (r.expect) {
    if (r.expect->match)
      line("expect", "the trace matches " + Printable(r.expect->path));
    else
      s += "  " + Pad("expect", 14) + "the trace differs from " + Printable(r.expect->path) +
           ": " + r.expect->difference + "\n";
  }
  line("result", CleanRun(r) ? "clean" : "NOT clean");
  return s;
}

}  // namespace peimsim
