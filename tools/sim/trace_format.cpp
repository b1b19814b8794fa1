#include "trace_format.h"

#include <cstdio>
#include <map>
#include <set>

#include "chipset.h"
#include "numbers.h"
#include "pi_names.h"

namespace peimsim {
namespace {

const char kFilterSyntax[] =
    " (expected pci[:BB:DD.F], io[:PORT[-PORT]], mmio[:ADDRESS[-ADDRESS]|:BB:DD.F], "
    "ram[:ADDRESS[-ADDRESS]], service[:NAME] or console)";

// FIRST[-LAST], numbers decimal or 0x hex; LAST not below FIRST.
bool ParseRange(const std::string &text, uint64_t most, uint32_t &first, uint32_t &last,
                std::string &why) {
  size_t dash = text.find('-');
  uint64_t a, b;
  if (!toolio::ParseUnsigned(text.substr(0, dash), 0, most, a, why, toolio::NumberKind::kAddress))
    return false;
  b = a;
  if (dash != std::string::npos &&
      !toolio::ParseUnsigned(text.substr(dash + 1), a, most, b, why, toolio::NumberKind::kAddress))
    return false;
  first = uint32_t(a);
  last = uint32_t(b);
  return true;
}

bool InRange(const TraceFilter &f, uint64_t first, uint64_t last) {
  return !f.range || (first <= f.last && last >= f.first);
}

bool SameFunction(const TraceFilter &f, uint32_t configAddress) {
  return !f.function || ((configAddress >> 16 & 0xFF) == f.bus &&
                         (configAddress >> 11 & 0x1F) == f.device &&
                         (configAddress >> 8 & 7) == f.fn);
}

bool Selects(const TraceFilter &f, const Platform &p, const Event &e) {
  switch (f.kind) {
    case TraceFilter::kPci:
      return IsConfigAccess(e) ||
             (e.kind == EventKind::kPort && e.portKind == PortKind::kConfigAddress)
                 ? SameFunction(f, e.configAddress)
                 : false;
    case TraceFilter::kIo:
      return e.kind == EventKind::kPort && InRange(f, e.address, e.address + e.width / 8 - 1);
    case TraceFilter::kMmio:
      if (e.kind != EventKind::kMemory) return false;
      if (f.function) {
        if (e.target.device < 0) return false;
        return SameFunction(f, p.chipset().Function(e.target.device).CfAddress());
      }
      return InRange(f, e.address, e.address + e.width / 8 - 1);
    case TraceFilter::kRam:
      return e.kind == EventKind::kRamWrite && InRange(f, e.address, e.address + e.width / 8 - 1);
    case TraceFilter::kService:
      return e.kind == EventKind::kService &&
             (f.name.empty() || p.Services()[e.service].name == f.name);
    case TraceFilter::kConsole:
      return e.kind == EventKind::kConsole;
  }
  return false;
}

// Hex rows of 16 bytes, only those holding a touched byte; then each named
// register the run touched, with its value and fields.
void DumpRows(std::string &out, const std::string &title, const uint8_t *bytes, size_t size,
              const std::set<uint32_t> &touched, uint32_t base,
              const std::vector<const RegisterLayout *> &layouts = {}) {
  std::set<uint32_t> rows;
  for (uint32_t offset : touched)
    if (offset < size) rows.insert(offset & ~15u);
  if (rows.empty()) return;
  out += "  " + title + "\n";
  for (uint32_t row : rows) {
    char line[96];
    int n = snprintf(line, sizeof line, "    %08X ", base + row);
    for (uint32_t i = 0; i < 16 && row + i < size; i++)
      n += snprintf(line + n, sizeof line - n, "%s%02X", i == 8 ? "  " : " ", bytes[row + i]);
    out += std::string(line) + "\n";
  }
  for (const RegisterLayout *l : layouts) {
    if (l->offset + l->bytes > size) continue;
    auto hit = touched.lower_bound(l->offset);
    if (hit == touched.end() || *hit >= l->offset + l->bytes) continue;
    uint64_t value = 0;
    for (uint32_t i = 0; i < l->bytes; i++) value |= uint64_t(bytes[l->offset + i]) << (8 * i);
    RegisterText t = DescribeAccess({l}, l->offset, int(l->bytes * 8), value);
    out += "    " + t.name + " = " + Hex(value, int(l->bytes * 2)) +
           (t.fields.empty() ? "" : " " + t.fields) + "\n";
  }
}

}  // namespace

bool ParseTraceFilter(const std::string &text, TraceFilter &f, std::string &error) {
  f = TraceFilter();
  size_t colon = text.find(':');
  std::string kind = text.substr(0, colon);
  std::string what = colon == std::string::npos ? "" : text.substr(colon + 1);
  const std::string bad = "--only " + text + ": ";
  static const std::map<std::string, TraceFilter::Kind> kKinds = {
      {"pci", TraceFilter::kPci},         {"io", TraceFilter::kIo},
      {"mmio", TraceFilter::kMmio},       {"ram", TraceFilter::kRam},
      {"service", TraceFilter::kService}, {"console", TraceFilter::kConsole}};
  auto k = kKinds.find(kind);
  if (k == kKinds.end()) {
    error = bad + "unknown kind '" + kind + "'" + kFilterSyntax;
    return false;
  }
  f.kind = k->second;
  if (colon == std::string::npos) return true;
  if (what.empty()) {
    error = bad + "nothing after ':'" + kFilterSyntax;
    return false;
  }
  std::string why;
  switch (f.kind) {
    case TraceFilter::kPci:
    case TraceFilter::kMmio:
      // A function is BB:DD.F; a number never holds a ':'.
      if (f.kind == TraceFilter::kPci || what.find(':') != std::string::npos) {
        if (!ParseBdf(what, f.bus, f.device, f.fn)) {
          error = bad + "bad PCI function '" + what + "' (expected BB:DD.F in hex, e.g. 00:12.2)";
          return false;
        }
        f.function = true;
        return true;
      }
      [[fallthrough]];
    case TraceFilter::kIo:
    case TraceFilter::kRam:
      if (!ParseRange(what, f.kind == TraceFilter::kIo ? 0xFFFF : 0xFFFFFFFFull, f.first,
                      f.last, why)) {
        error = bad + why;
        return false;
      }
      f.range = true;
      return true;
    case TraceFilter::kService:
      f.name = what;
      return true;
    case TraceFilter::kConsole:
      break;
  }
  error = bad + "console takes nothing after it" + kFilterSyntax;
  return false;
}

bool IsConfigAccess(const Event &e) {
  return e.kind == EventKind::kPort && e.portKind == PortKind::kConfigData;
}

bool Shown(const TraceView &view, const Platform &p, const Event &e) {
  if (view.pci && e.kind == EventKind::kPort && e.portKind == PortKind::kConfigAddress)
    return false;
  if (view.only.empty()) return true;
  for (const TraceFilter &f : view.only)
    if (Selects(f, p, e)) return true;
  return false;
}

std::string DumpText(const Platform &p) {
  const Chipset &c = p.chipset();
  std::map<int, std::set<uint32_t>> config, regs, regions;
  for (const Event &e : p.Events()) {
    int bytes = e.width / 8;
    if (IsConfigAccess(e) && e.target.claimed && e.target.device >= 0)
      for (int i = 0; i < bytes; i++) config[e.target.device].insert(e.target.offset + i);
    if (e.kind == EventKind::kMemory && e.target.claimed) {
      auto &to = e.target.device >= 0              ? regs[e.target.device]
                 : e.target.device == kChipsetDevice ? regions[e.target.region]
                                                     : regs[-1];
      for (int i = 0; i < bytes; i++) to.insert(e.target.offset + i);
    }
  }
  std::string out = "Registers at the end (the 16-byte rows the run touched)\n";
  size_t empty = out.size();
  for (int i = 0; i < c.FunctionCount(); i++) {
    const PciFunction &f = c.Function(i);
    if (config.count(i))
      DumpRows(out, "PCI " + f.Bdf() + " (" + f.role + ") configuration space",
               f.config.data(), f.config.size(), config[i], 0,
               c.Layouts(RegisterLayout::kConfig, i));
    if (regs.count(i))
      DumpRows(out, "PCI " + f.Bdf() + " (" + f.role + ") register file at BAR0 " +
                        Hex(f.Bar(), 8),
               f.regs.data(), f.regs.size(), regs[i], 0, c.Layouts(RegisterLayout::kRegs, i));
  }
  for (int i = 0; i < c.RegionCount(); i++) {
    const RegionDescription &r = c.Region(i);
    if (regions.count(i))
      DumpRows(out, r.name + " at " + Hex(r.base, 8), r.regs.data(), r.regs.size(), regions[i],
               r.base, c.Layouts(RegisterLayout::kBlock, i));
  }
  if (out.size() == empty) out += "  (no register touched)\n";
  return out;
}

}  // namespace peimsim
