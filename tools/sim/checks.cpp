// The checks: violations and their limit, the trace's event record, what the
// module may write, and the names of addresses in messages.
#include <unicorn/unicorn.h>

#include <algorithm>

#include "platform.h"

namespace peimsim {

bool Platform::Allocated(uint32_t address, uint32_t size) const {
  for (const Allocation &a : allocations_)
    if (address >= a.address && uint64_t(address) + size <= uint64_t(a.address) + a.pages * kPageSize)
      return true;
  return false;
}

bool Platform::WritableByModule(uint32_t address, uint32_t size) const {
  uint64_t end = uint64_t(address) + size;
  if (address >= kStackBase && end <= frameLimit_) return true;
  for (const auto &o : outputs_)
    if (address >= o.first && end <= uint64_t(o.first) + o.second) return true;
  return Allocated(address, size);
}

std::string Platform::Where(uint32_t address) const {
  if (address == 0) return "NULL";
  if (address >= kStackBase && address < kStackTop)
    return address < frameLimit_ ? "stack" : "caller's stack frame";
  for (const Allocation &a : allocations_)
    if (address >= a.address && address - a.address < a.pages * kPageSize)
      return "page " + Hex(a.address, 8) + "+" + Hex(address - a.address);
  if (InImage(address)) return "image+" + Hex(address - LoadAddress());
  if (address >= kFoundationData && address < kFoundationData + kPageSize) return "PEI Foundation data";
  if (address >= kFoundationCode && address < kFoundationCode + kPageSize) return "PEI Foundation code";
  if (address >= kCallerData && address < kCallerData + kPageSize) return "caller's variables";
  if (address >= kPoolBase && address < kPoolBase + kPoolPages * kPageSize) return "unallocated page";
  if (address >= kRamBase && address < kRamEnd) return "RAM nobody gave the module";
  if (address >= kDeviceWindowBase && address < kDeviceWindowEnd) return "device window";
  return "unmapped";
}

void Platform::AddViolation(const std::string &kind, const std::string &message, bool atEip) {
  if (violations_.size() >= kViolationLimit) {
    if (!stopped_) {
      stopped_ = true;
      uc_emu_stop(uc_);
    }
    return;
  }
  Violation v;
  v.kind = kind;
  v.message = message;
  if (atEip) {
    v.eip = CurrentEip();
    v.hasEip = true;
  }
  violations_.push_back(v);
}

void Platform::AddViolationAt(const std::string &kind, const std::string &message, uint32_t eip) {
  size_t before = violations_.size();
  AddViolation(kind, message, false);
  if (violations_.size() > before) {
    violations_.back().eip = eip;
    violations_.back().hasEip = true;
  }
}

bool Platform::Record(const Event &e) {
  EventCounts &c = counts_[int(e.phase)];
  switch (e.kind) {
    case EventKind::kPort: c.ports++, c.portReads += !e.write; break;
    case EventKind::kMemory: c.mmio++, c.mmioReads += !e.write; break;
    case EventKind::kService: c.services++; break;
    case EventKind::kRamWrite: c.ramWrites++; break;
  }
  if (events_.size() >= options_.eventLimit) {
    droppedEvents_++;
    return false;
  }
  events_.push_back(e);
  return true;
}

uint64_t Platform::HardwareAccesses(Phase phase) const { return counts_[int(phase)].Hardware(); }

void Platform::CheckInjectedFailures() {
  for (const Failure &f : options_.failures) {
    int slot = f.service == "Stall" ? kStallEntry : ServiceSlotFromName(f.service);
    uint32_t calls = slot >= 0 ? serviceCalls_[slot] : 0;
    if (f.call == 0 ? calls > 0 : calls >= f.call) continue;
    std::string request = f.service + ":" + StatusName(f.status) +
                       (f.call ? "@" + std::to_string(f.call) : std::string());
    std::string times = calls == 0 ? "never" : calls == 1 ? "once" : std::to_string(calls) + " times";
    AddViolation("fail-unused", "--fail " + request + " never took effect: " + f.service +
                                    " was called " + times,
                 false);
  }
}

void Platform::CheckPort(const Event &e) {
  // Named only for a violation: this runs on every port access.
  auto access = [&] {
    return std::to_string(e.width) + "-bit " + (e.write ? "OUT to" : "IN from") + " port " +
           Hex(e.address, 4);
  };
  switch (e.portKind) {
    case PortKind::kConfigAddress: break;
    case PortKind::kConsole: break;
    case PortKind::kConfigData:
      if (!e.target.claimed) {
        char bdf[16];
        snprintf(bdf, sizeof bdf, "%02X:%02X.%X", e.configAddress >> 16 & 0xFF,
                 e.configAddress >> 11 & 0x1F, e.configAddress >> 8 & 7);
        AddViolation("absent-function", access() + ": configuration access to PCI " + bdf +
                                            ", a function that is not there");
      }
      break;
    case PortKind::kConfigDisabled:
      AddViolation("config-disabled", access() + " while CONFIG_ADDRESS (" +
                                          Hex(e.configAddress, 8) + ") has its enable bit clear");
      break;
    case PortKind::kConfigBadWidth:
      AddViolation("config-port-width",
                   access() + ": CONFIG_ADDRESS takes 32-bit accesses at 0xCF8 only, and a "
                            "CONFIG_DATA access must stay inside 0xCFC-0xCFF");
      break;
    case PortKind::kUnclaimed:
      AddViolation("unclaimed-port", access() + ", which no device claims");
      break;
  }
  if (phase_ == Phase::kConsumer)
    AddViolation("consumer-hardware", "GetUsbController touched I/O port " + Hex(e.address, 4));
}

}  // namespace peimsim
