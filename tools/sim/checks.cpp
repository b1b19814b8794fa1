// The checks: violations and their limit, the trace's event record, what the
// module may write, and the names of addresses in messages.
#include <unicorn/unicorn.h>

#include <algorithm>

#include "platform.h"

namespace peimsim {

bool Platform::Allocated(uint32_t address, uint32_t size) const {
  for (const Allocation &a : allocations_)
    if (address >= a.address &&
        uint64_t(address) + size <= uint64_t(a.address) + (a.pages ? a.pages * kPageSize : a.bytes))
      return true;
  return false;
}

bool Platform::InWritableSection(uint32_t address, uint32_t size) const {
  auto writable = [&](const pe::Image &image, uint32_t base) {
    const pe::Section *s = image.SectionAt(address - base);
    return s && (s->characteristics & pe::kScnMemWrite) &&
           uint64_t(address - base) + size <= uint64_t(s->virtualAddress) + s->virtualSize;
  };
  if (imageInRam_ && InImage(address)) return writable(image_, LoadAddress());
  for (const OtherImage &o : others_)
    if (address - o.base < o.size) return writable(o.image, o.base);
  return false;
}

bool Platform::WritableByModule(uint32_t address, uint32_t size) const {
  uint64_t end = uint64_t(address) + size;
  if (address >= kStackBase && end <= frameLimit_) return true;
  // A PEIM may install exception handlers: the gates of the IDT are the
  // processor's, not the Foundation's (the services pointer below it is).
  if (options_.anyPeim && address >= kIdtBase && end <= uint64_t(kIdtBase) + kIdtLimit + 1)
    return true;
  for (const auto &o : outputs_)
    if (address >= o.first && end <= uint64_t(o.first) + o.second) return true;
  return Allocated(address, size) || InWritableSection(address, size);
}

std::string Platform::Where(uint32_t address) const {
  if (address == 0) return "NULL";
  if (address >= kStackBase && address < kStackTop)
    return address < frameLimit_ ? "stack" : "caller's stack frame";
  for (const Allocation &a : allocations_)
    if (address >= a.address && address - a.address < (a.pages ? a.pages * kPageSize : a.bytes))
      return (a.pages ? "page " : "pool ") + Hex(a.address, 8) + "+" + Hex(address - a.address);
  if (InImage(address)) return "image+" + Hex(address - LoadAddress());
  for (const OtherImage &o : others_)
    if (address - o.base < o.size) return o.name + "+" + Hex(address - o.base);
  if (address >= kIdtBase && address <= kIdtBase + kIdtLimit) return "IDT+" + Hex(address - kIdtBase);
  if (address >= kFoundationData && address < kFoundationData + kPageSize)
    return "PEI Foundation data";
  if (address >= kFoundationCode && address < kFoundationCode + kPageSize)
    return "PEI Foundation code";
  if (address >= kCallerData && address < kCallerData + kPageSize) return "caller's variables";
  if (address >= kPoolBase && address < hobEnd_ + 8) return "HOB list+" + Hex(address - kPoolBase);
  if (address >= kPoolBase && address < kPoolBase + kPoolPages * kPageSize)
    return "unallocated page";
  for (const FvVolume &v : volumes_)
    if (address >= v.address && address - v.address < v.length)
      return "volume " + Hex(v.address, 8) + "+" + Hex(address - v.address);
  if (address >= kVolumeBase && address < volumeNext_) return "firmware";
  if (address >= kRamBase && address < kRamEnd) return "RAM nobody gave the module";
  if (address >= kDeviceWindowBase && address < kDeviceWindowEnd) return "device window";
  return "unmapped";
}

void Platform::AddViolation(const std::string &kind, const std::string &message, bool atEip) {
  PushViolation(kind, message, atEip, atEip ? CurrentEip() : 0);
}

void Platform::AddViolationAt(const std::string &kind, const std::string &message, uint32_t eip) {
  PushViolation(kind, message, true, eip);
}

void Platform::PushViolation(const std::string &kind, const std::string &message, bool hasEip,
                             uint32_t eip) {
  // A repeat of one instruction's violation is counted on its first line:
  // a REP STOSD over 2000 bytes outside the module's memory is one finding,
  // not 500 lines that end the run.
  uint64_t key = 0;
  if (hasEip) {
    key = uint64_t(eip) << 32 | uint32_t(std::hash<std::string>()(kind));
    auto it = violationAt_.find(key);
    if (it != violationAt_.end() && it->second < violations_.size()) {
      Violation &v = violations_[it->second];
      if (v.hasEip && v.eip == eip && v.kind == kind) {
        v.count++;
        return;
      }
    }
  }
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
  v.hasEip = hasEip;
  v.eip = eip;
  if (hasEip) violationAt_[key] = violations_.size();
  violations_.push_back(v);
}

void Platform::NoteAbsentAccess(const Event &e) {
  for (AbsentAccess &a : absentAccesses_)
    if (a.configAddress == (e.configAddress & 0x00FFFF00) && a.offset == e.target.offset &&
        a.width == e.width && a.write == e.write) {
      a.count++;
      return;
    }
  if (absentAccesses_.size() >= kAbsentAccessLimit) return;
  AbsentAccess a;
  a.configAddress = e.configAddress & 0x00FFFF00;
  a.offset = e.target.offset;
  a.width = e.width;
  a.write = e.write;
  a.eip = e.eip;
  a.count = 1;
  absentAccesses_.push_back(a);
}

bool Platform::Record(const Event &e) {
  EventCounts &c = counts_[int(e.phase)];
  if (e.kind == EventKind::kPort && e.portKind == PortKind::kConsole && e.write) {
    c.ports++;
    OnConsole(e);  // recorded as the lines it makes
    return false;
  }
  switch (e.kind) {
    case EventKind::kPort: c.ports++, c.portReads += !e.write; break;
    case EventKind::kMemory: c.mmio++, c.mmioReads += !e.write; break;
    case EventKind::kService: c.services++; break;
    case EventKind::kRamWrite: c.ramWrites++; break;
    case EventKind::kConsole: break;  // its bytes were counted as port writes
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
    int slot = EntryFromName(f.service);
    uint32_t calls = slot >= 0 ? serviceCalls_[slot] : 0;
    if (f.call == 0 ? calls > 0 : calls >= f.call) continue;
    std::string request = f.service + ":" + StatusName(f.status) +
                       (f.call ? "@" + std::to_string(f.call) : std::string());
    std::string times = calls == 0   ? "never"
                        : calls == 1 ? "once"
                                     : std::to_string(calls) + " times";
    AddViolation("fail-unused", "--fail " + request + " never took effect: " + f.service +
                                    " was called " + times,
                 false);
  }
}

void Platform::CheckPort(const Event &e) {
  // At the IN or OUT itself: while a port hook runs, EIP is not yet that
  // instruction's address.
  auto violation = [&](const std::string &kind, const std::string &message) {
    AddViolationAt(kind, message, e.eip);
  };
  // Named only for a violation: this runs on every port access.
  auto access = [&] {
    return std::to_string(e.width) + "-bit " + (e.write ? "OUT to" : "IN from") + " port " +
           Hex(e.address, 4);
  };
  switch (e.portKind) {
    case PortKind::kConfigAddress: break;
    case PortKind::kConsole: break;
    case PortKind::kDevice: break;
    case PortKind::kConfigData:
      // Any PEIM may probe for functions: an absent one reads all ones, as
      // on real hardware. UsbControllerPeim knows its functions are there.
      if (!e.target.claimed) NoteAbsentAccess(e);
      if (!e.target.claimed && !options_.anyPeim) {
        char bdf[16];
        snprintf(bdf, sizeof bdf, "%02X:%02X.%X", e.configAddress >> 16 & 0xFF,
                 e.configAddress >> 11 & 0x1F, e.configAddress >> 8 & 7);
        AddViolationAt("absent-function", access() + ": configuration access to PCI " + bdf +
                                              ", a function that is not there", e.eip);
      }
      break;
    case PortKind::kConfigDisabled:
      AddViolationAt("config-disabled", access() + " while CONFIG_ADDRESS (" +
                                            Hex(e.configAddress, 8) + ") has its enable bit clear",
                     e.eip);
      break;
    case PortKind::kConfigBadWidth:
      AddViolationAt("config-port-width",
                     access() + ": CONFIG_ADDRESS takes 32-bit accesses at 0xCF8 only, and a "
                              "CONFIG_DATA access must stay inside 0xCFC-0xCFF",
                     e.eip);
      break;
    case PortKind::kUnclaimed:
      if (options_.anyPeim) {
        // What the module expects there is a device the platform does not
        // model: the run stops, naming it, rather than go on with all ones.
        AddViolationAt("unclaimed-port", access() + ", which no device of this platform claims; "
                                         "the run stops there", e.eip);
        stopped_ = true;
        uc_emu_stop(uc_);
      } else {
        AddViolationAt("unclaimed-port", access() + ", which no device claims", e.eip);
      }
      break;
  }
  if (phase_ == Phase::kConsumer)
    violation("consumer-hardware", "GetUsbController touched I/O port " + Hex(e.address, 4));
}

}  // namespace peimsim
