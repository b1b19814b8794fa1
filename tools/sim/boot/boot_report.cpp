// Text, JSON and drcov output of a boot.
#include "boot_report.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "devices/processor.h"
#include "expect_json.h"
#include "report.h"

namespace peimsim::boot {
namespace {

std::string Dec(uint64_t v) { return std::to_string(v); }

std::string Bdf(uint32_t configAddress) {
  char b[16];
  snprintf(b, sizeof b, "%02x:%02x.%x", (configAddress >> 16) & 0xFF, (configAddress >> 11) & 0x1F,
           (configAddress >> 8) & 7);
  return b;
}

uint32_t ConfigOffset(const BootEvent &e) {
  return (e.configAddress & 0xFC) + (e.address - kConfigDataPort);
}

std::string ImageColumn(const BootMachine &m, int image, uint32_t eip) {
  if (image < 0) return Hex(eip, 8);
  const RunImage &i = m.RunImages()[image];
  return i.name + "+" + Hex(eip - i.base);
}

// Printable's text holds no control character and is valid UTF-8: what
// JsonQuote leaves it is its quotes and backslashes escaped.
std::string Json(const std::string &s) { return JsonQuote(Printable(s)); }

std::string JsonList(const std::vector<std::string> &items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); i++) out += (i ? ", " : "") + Json(items[i]);
  return out + "]";
}

const char *Outcome(const BootOutcome &o) { return o.reachedDxe ? "reached the DXE core" : "stopped"; }

}  // namespace

std::string EventText(const BootMachine &m, const BootEvent &e) {
  switch (e.kind) {
    case BootEventKind::kService: {
      const BootService &s = m.Services()[e.service];
      std::string t = s.name + "(" + s.arguments + ")";
      if (!s.returned) return t + " (did not return)";
      t += " -> " + StatusName(s.status) + (s.injected ? " (injected)" : "");
      if (!s.results.empty()) t += ", " + s.results;
      return t;
    }
    case BootEventKind::kPort: {
      std::string t = std::string(e.write ? "OUT " : "IN  ") + Dec(e.width * 8) + " ";
      if (e.pciConfig)
        t += "PCI " + Bdf(e.configAddress) + " +" + Hex(ConfigOffset(e), 2) +
             (e.absent ? " (absent function)" : "");
      else
        t += "port " + Hex(e.address, 4);
      return t + (e.write ? " <- " : " -> ") + Hex(e.value, e.width * 2);
    }
    case BootEventKind::kMemory:
      return std::string(e.write ? "MMIO write " : "MMIO read  ") + Dec(e.width * 8) + " " +
             Hex(e.address, 8) + (e.write ? " <- " : " -> ") + Hex(e.value, e.width * 2);
    case BootEventKind::kMsr: {
      std::string name = Processor::MsrName(e.address);
      std::string t = e.tsc ? std::string("RDTSC") : (e.write ? "WRMSR " : "RDMSR ") + Hex(e.address, 8);
      if (!e.tsc && !name.empty()) t += " " + name;
      t += (e.write ? " <- " : " -> ") + Hex(e.value, 16);
      return e.absent ? t + " (not in the processor model: reads 0)" : t;
    }
    case BootEventKind::kNote:
      return "TemporaryRamMigration: " + Hex(e.value) + " bytes of temporary RAM to " +
             Hex(e.address, 8) + " (stack half at its bottom, heap half above; IDT moved)";
  }
  return "";
}

std::vector<std::string> PciConfigLines(const BootMachine &m) {
  std::vector<std::string> out;
  for (const BootEvent &e : m.Events()) {
    if (e.kind != BootEventKind::kPort || !e.pciConfig) continue;
    char b[112];
    snprintf(b, sizeof b, "%s %s @0x%x /%d %s 0x%llx%s", e.write ? "write" : "read",
             Bdf(e.configAddress).c_str(), ConfigOffset(e), e.width, e.write ? "<-" : "->",
             (unsigned long long)e.value, e.absent ? " absent" : "");
    out.push_back(b);
  }
  return out;
}

std::vector<const RunImage *> DispatchOrder(const BootMachine &m) {
  std::vector<const RunImage *> out;
  for (const RunImage &i : m.RunImages())
    if (i.order >= 0) out.push_back(&i);
  std::sort(out.begin(), out.end(),
            [](const RunImage *a, const RunImage *b) { return a->order < b->order; });
  return out;
}

std::string RenderBootText(const BootReport &r) {
  const BootMachine &m = *r.machine;
  const SecHandOff &h = m.HandOff();
  std::string out;
  out += "peim-sim --boot " + Printable(r.firmwarePath) + " (platform q35";
  out += r.varsPath.empty() ? ", no variable store)\n" : ", variable store " + Printable(r.varsPath) + ")\n";
  out += "\nSEC hand-off\n";
  for (const PlacedVolume &v : h.volumes)
    out += "  " + v.what + " at " + Hex(v.address, 8) + ", " + Hex(v.size) + " bytes" +
           (v.bytes.empty() ? "" : " (unpacked)") + "\n";
  out += "  boot firmware volume " + Hex(h.bootVolume, 8) + ", " + Hex(h.bootVolumeSize) +
         " bytes; PEI core " + h.images[h.peiCoreImage].name + ", entry " +
         Hex(h.peiCoreEntry, 8) + "\n";
  out += "  temporary RAM " + Hex(kTempRamBase, 8) + "-" + Hex(kTempRamBase + kTempRamSize - 1, 8) +
         ": heap " + Hex(kTempRamBase, 8) + ", stack " + Hex(kTempRamBase + kTempRamSize / 2, 8) +
         "; IDT " + Hex(kIdtBaseAddress, 8) + " (" + Dec(kIdtEntries) +
         " gates), services pointer at " + Hex(kServicesSlot, 8) + "\n";
  out += std::string("  PPIs passed: ") +
         (m.options().migrationPpi ? "gEfiTemporaryRamSupportPpiGuid (migration on the host), " : "") +
         "gEfiPeiMpInitLibMpDepPpiGuid\n";
  if (!r.quiet) {
    out += "\nTrace\n";
    size_t n = 0;
    for (const BootEvent &e : m.Events()) {
      char num[16];
      snprintf(num, sizeof num, "%7zu", ++n);
      std::string col = ImageColumn(m, e.image, e.eip);
      col.resize(std::max<size_t>(col.size(), 34), ' ');
      out += std::string(num) + "  " + col + " " + EventText(m, e) + "\n";
    }
    if (m.DroppedEvents())
      out += "... trace truncated after " + Dec(m.Events().size()) + " events; " +
             Dec(m.DroppedEvents()) + " more were counted, not recorded\n";
  }
  out += "\nDispatch (PEIMs in the order they ran)\n";
  int k = 0;
  for (const RunImage *i : DispatchOrder(m)) {
    out += "  " + Dec(++k) + ". " + i->name + " at " + Hex(i->base, 8) +
           (i->inPlace ? " (in place)" : " (loaded)") + ": " + Dec(i->instructions) +
           " instructions, " + Dec(i->ports + i->mmio) + " device accesses (" + Dec(i->pciConfig) +
           " PCI configuration), " + Dec(i->services) + " service calls\n";
    for (const std::string &s : i->installed) out += "       installed " + s + "\n";
    for (const std::string &s : i->notified) out += "       notify    " + s + "\n";
    for (const std::string &s : i->created) out += "       created   HOB " + s + "\n";
    for (const std::string &s : i->allocated) out += "       allocated " + s + "\n";
  }
  out += "\nOther images\n";
  for (const RunImage &i : m.RunImages())
    if (i.order < 0)
      out += "  " + i.name + " at " + Hex(i.base, 8) + (i.inPlace ? " (in place)" : " (loaded)") +
             ": " + Dec(i.instructions) + " instructions, " + Dec(i.ports + i.mmio) +
             " device accesses, " + Dec(i.services) + " service calls\n";
  const BootOutcome &o = r.outcome;
  if (o.reachedDxe) {
    out += "\nHand-off: the DXE core entered at " + Hex(o.dxeEntry, 8) + " (" + m.Where(o.dxeEntry) +
           "), HOB list at " + Hex(o.hobList, 8) + "\n";
    for (const BootHob &hob : m.Hobs()) out += "  " + Hex(hob.address, 8) + "  " + hob.text + "\n";
  } else {
    out += "\nStopped: [" + o.kind + "] " + o.reason + "\n";
  }
  uint64_t ports = 0, mmio = 0;
  for (const RunImage &i : m.RunImages()) ports += i.ports, mmio += i.mmio;
  char secs[32];
  snprintf(secs, sizeof secs, "%.3f", o.seconds);
  out += "\nSummary: " + std::string(Outcome(o)) + "; " + Dec(o.instructions) + " instructions in " +
         secs + " s; " + Dec(m.Services().size()) + " service calls; " + Dec(ports) +
         " port accesses (" + Dec(m.PciConfigAccesses()) + " PCI configuration); " + Dec(mmio) +
         " memory-mapped accesses; " + Dec(DispatchOrder(m).size()) + " PEIMs dispatched\n";
  return out;
}

std::string RenderBootJson(const BootReport &r) {
  const BootMachine &m = *r.machine;
  const SecHandOff &h = m.HandOff();
  const BootOutcome &o = r.outcome;
  char secs[32];
  snprintf(secs, sizeof secs, "%.6f", o.seconds);
  std::string out = "{\n  \"firmware\": " + Json(r.firmwarePath) + ",\n  \"vars\": " +
                    (r.varsPath.empty() ? "null" : Json(r.varsPath)) + ",\n";
  out += "  \"handoff\": {\"boot_volume\": " + Dec(h.bootVolume) + ", \"boot_volume_size\": " +
         Dec(h.bootVolumeSize) + ", \"pei_core_entry\": " + Dec(h.peiCoreEntry) +
         ", \"temporary_ram\": " + Dec(kTempRamBase) + ", \"temporary_ram_size\": " +
         Dec(kTempRamSize) + ", \"idt\": " + Dec(kIdtBaseAddress) + ", \"migration_ppi\": " +
         (m.options().migrationPpi ? "true" : "false") + "},\n";
  out += "  \"peims\": [";
  bool first = true;
  for (const RunImage *i : DispatchOrder(m)) {
    out += std::string(first ? "\n" : ",\n") + "    {\"name\": " + Json(i->name) +
           ", \"base\": " + Dec(i->base) + ", \"entry\": " + Dec(i->entry) + ", \"in_place\": " + (i->inPlace ? "true" : "false") +
           ", \"instructions\": " + Dec(i->instructions) + ", \"ports\": " + Dec(i->ports) +
           ", \"mmio\": " + Dec(i->mmio) + ", \"pci_config\": " + Dec(i->pciConfig) +
           ", \"services\": " + Dec(i->services) + ", \"installed\": " + JsonList(i->installed) +
           ", \"notified\": " + JsonList(i->notified) + ", \"created\": " + JsonList(i->created) +
           ", \"allocated\": " + JsonList(i->allocated) + "}";
    first = false;
  }
  out += "\n  ],\n";
  if (!r.quiet) {
    out += "  \"trace\": [";
    first = true;
    for (const BootEvent &e : m.Events()) {
      out += std::string(first ? "\n" : ",\n") + "    {\"image\": " +
             (e.image >= 0 ? Json(m.RunImages()[e.image].name) : "null") +
             ", \"eip\": " + Dec(e.eip) + ", \"event\": " + Json(EventText(m, e)) + "}";
      first = false;
    }
    out += "\n  ],\n";
  }
  out += "  \"hobs\": [";
  first = true;
  for (const BootHob &hob : m.Hobs()) {
    out += std::string(first ? "\n" : ",\n") + "    {\"address\": " + Dec(hob.address) +
           ", \"type\": " + Dec(hob.type) + ", \"length\": " + Dec(hob.length) +
           ", \"text\": " + Json(hob.text) + "}";
    first = false;
  }
  out += "\n  ],\n";
  out += "  \"outcome\": {\"reached_dxe\": " + std::string(o.reachedDxe ? "true" : "false") +
         ", \"dxe_entry\": " + (o.reachedDxe ? Dec(o.dxeEntry) : "null") + ", \"hob_list\": " +
         (o.reachedDxe ? Dec(o.hobList) : "null") + ", \"kind\": " +
         (o.reachedDxe ? "null" : Json(o.kind)) + ", \"reason\": " +
         (o.reachedDxe ? "null" : Json(o.reason)) + ", \"instructions\": " + Dec(o.instructions) +
         ", \"seconds\": " + secs + ", \"pci_config\": " + Dec(m.PciConfigAccesses()) + ", \"services\": " +
         Dec(m.Services().size()) + "}\n}\n";
  return out;
}

std::vector<uint8_t> BootCoverageFile(const BootMachine &m) {
  const std::vector<RunImage> &images = m.RunImages();
  std::string head = "DRCOV VERSION: 2\nDRCOV FLAVOR: drcov\nModule Table: version 2, count " +
                     Dec(images.size()) + "\nColumns: id, base, end, entry, checksum, timestamp, path\n";
  for (size_t i = 0; i < images.size(); i++) {
    char line[96];
    snprintf(line, sizeof line, " %zu, 0x%08x, 0x%08x, 0x%08x, 0x00000000, 0x00000000, ", i,
             images[i].base, images[i].base + images[i].size, images[i].entry);
    head += line + Printable(images[i].name) + "\n";
  }
  std::vector<uint8_t> records;
  size_t count = 0;
  for (const auto &b : m.Blocks()) {
    int i = m.ImageAt(b.first);
    if (i < 0) continue;
    uint32_t offset = b.first - images[i].base;
    uint16_t size = uint16_t(b.second), id = uint16_t(i);
    uint8_t rec[8];
    memcpy(rec, &offset, 4);
    memcpy(rec + 4, &size, 2);
    memcpy(rec + 6, &id, 2);
    records.insert(records.end(), rec, rec + 8);
    count++;
  }
  head += "BB Table: " + Dec(count) + " bbs\n";
  std::vector<uint8_t> out(head.begin(), head.end());
  out.insert(out.end(), records.begin(), records.end());
  return out;
}

}  // namespace peimsim::boot
