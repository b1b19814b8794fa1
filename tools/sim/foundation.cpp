// The PEI Foundation: the services table, the PPI database, the page pool
// and the Stall PPI, and the service calls the module makes into them.
#include <unicorn/unicorn.h>

#include <algorithm>
#include <cstring>

#include "platform.h"

namespace peimsim {
namespace {

constexpr uint32_t kMaxPpiDescriptors = 64;
constexpr uint32_t kDescriptorsShown = 4;

// Byte-wise read of a little-endian value from a buffer.
uint32_t Get32(const uint8_t *p) {
  return uint32_t(p[0]) | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24;
}

}  // namespace

void Platform::BuildFoundation() {
  uint8_t *page = ram_ + kFoundationData;
  memset(page, 0, kPageSize);
  auto put32 = [&](uint32_t address, uint32_t v) {
    memcpy(page + (address - kFoundationData), &v, 4);
  };
  auto entry = [](int n) { return kFoundationCode + uint32_t(n) * kServiceStride; };
  put32(kPeiServicesCell, kPeiServicesTable);
  // EFI_TABLE_HEADER: "PEI SERV", revision 1.70, header size = whole table.
  uint64_t signature = 0x5652455320494550ull;
  memcpy(page + (kPeiServicesTable - kFoundationData), &signature, 8);
  put32(kPeiServicesTable + 8, 0x00010046);
  put32(kPeiServicesTable + 12, 24 + 4 * kServiceSlots);
  for (int slot = 0; slot < kServiceSlots; slot++)
    put32(kPeiServicesTable + 24 + 4 * slot, entry(slot));
  // CpuIo and PciCfg are not functions but pointers to the two PPIs.
  put32(kPeiServicesTable + 24 + 4 * ServiceSlotFromName("CpuIo"), kCpuIoPpi);
  put32(kPeiServicesTable + 24 + 4 * ServiceSlotFromName("PciCfg"), kPciCfgPpi);
  for (int i = 0; i < 20; i++) put32(kCpuIoPpi + 4 * i, entry(kCpuIoEntries + i));
  for (int i = 0; i < 3; i++) put32(kPciCfgPpi + 4 * i, entry(kPciCfgEntries + i));
  put32(kPciCfgPpi + 12, 0);  // Segment 0
  put32(kStallPpi, 1);  // Resolution: 1 us
  put32(kStallPpi + 4, entry(kStallEntry));
  memcpy(page + (kStallPpiGuidAddress - kFoundationData), kStallPpiGuid.data(), 16);
  put32(kStallPpiDescriptor, 0x80000010);
  put32(kStallPpiDescriptor + 4, kStallPpiGuidAddress);
  put32(kStallPpiDescriptor + 8, kStallPpi);
  // The services pointer below the IDT (the IDT's gates stay zero: not
  // present, as no interrupt is expected during PEI).
  put32(kIdtBase - 4, kPeiServicesCell);
  BuildHobList();
  KeepPages(kFoundationData, kPageSize);
  KeepPages(kPoolBase, kPageSize);

  memcpy(page + (kMemoryDiscoveredDescriptor + 12 - kFoundationData),
         kMemoryDiscoveredPpiGuid.data(), 16);
  put32(kMemoryDiscoveredDescriptor, 0x80000010);
  put32(kMemoryDiscoveredDescriptor + 4, kMemoryDiscoveredDescriptor + 12);
  initialPpis_.clear();
  if (options_.anyPeim && options_.memory == MemoryWorld::kAfter)
    initialPpis_.push_back(MemoryDiscoveredPpi());
  if (options_.stallPpi) {
    InstalledPpi stall;
    stall.descriptor = kStallPpiDescriptor;
    stall.flags = 0x80000010;
    stall.guid = kStallPpiGuid;
    stall.guidAddress = kStallPpiGuidAddress;
    stall.ppi = kStallPpi;
    initialPpis_.push_back(stall);
  }
}

uint32_t Platform::CallSite(uint32_t ret) const {
  // The module reaches services through pointers: CALL r/m32 (FF /2), 2 to
  // 7 bytes long, or CALL rel32.
  for (uint32_t len = 2; len <= 7; len++) {
    uint8_t b[8];
    uint32_t at = ret - len;
    if (!Read(at, b, len)) continue;
    if (len == 5 && b[0] == 0xE8) return at;
    if (b[0] != 0xFF || ((b[1] >> 3) & 7) != 2) continue;
    uint32_t mod = b[1] >> 6, rm = b[1] & 7, n = 2;
    if (mod != 3 && rm == 4) {
      n++;
      if (mod == 0 && (b[2] & 7) == 5) n += 4;
    }
    if (mod == 0 && rm == 5) n += 4;
    if (mod == 1) n += 1;
    if (mod == 2) n += 4;
    if (n == len) return at;
  }
  return ret;
}

uint32_t Platform::ServiceStatus(const std::string &name, uint32_t okStatus, bool &injected) {
  int slot = EntryFromName(name);
  if (slot < 0) return okStatus;
  uint32_t n = ++serviceCalls_[slot];
  for (const Failure &f : options_.failures) {
    if (f.service == name && (f.call == 0 || f.call == n)) {
      injected = true;
      return f.status;
    }
  }
  return okStatus;
}

bool Platform::ServiceOutput(ServiceCall &call, uint32_t address, const void *data, size_t size,
                             const char *what) {
  if (address == 0) {
    AddViolation("service-argument", call.name + " was given a NULL " + what + " pointer");
    return false;
  }
  if (!WritableByModule(address, uint32_t(size)) ||
      !(address >= kRamBase && address + size <= kRamEnd)) {
    AddViolation("service-argument", call.name + " was asked to write " + what + " at " +
                                         Hex(address, 8) + " (" + Where(address) +
                                         "), which is not the module's memory");
    return false;
  }
  HostWrite(address, data, size);
  return true;
}

void Platform::OnService(uint32_t address) {
  uint32_t esp = 0;
  uc_reg_read(uc_, UC_X86_REG_ESP, &esp);
  uint32_t ret = 0;
  ServiceCall call;
  bool readable = Read(esp, &ret, 4) && Read(esp + 4, call.args, sizeof call.args);
  int entry = int((address - kFoundationCode) / kServiceStride);
  call.slot = entry < kServiceSlots ? entry : -1;
  call.name = EntryName(entry);
  if (!readable || address % kServiceStride != 0) {
    AddViolation("service-entry", "jumped into the PEI Foundation at " + Hex(address, 8) +
                                      (readable ? ", not at a service's entry"
                                                : " with a stack it cannot read"));
    stopped_ = true;
    uc_emu_stop(uc_);
    return;
  }
  if (entry == kNotifyReturnEntry) {
    OnNotifyReturn(esp);
    return;
  }
  if (entry == kStatusCodeReturnEntry) {
    OnStatusCodeReturn(esp);
    return;
  }
  uint32_t eflags = 0;
  uc_reg_read(uc_, UC_X86_REG_EFLAGS, &eflags);
  if (eflags & kDirectionFlag)
    AddViolation("direction-flag", "called " + call.name + " with the direction flag set");
  if (EntryTakesPeiServices(entry) && call.args[0] != kPeiServicesCell)
    AddViolation("service-argument", "called " + call.name + " with PeiServices " +
                                         Hex(call.args[0], 8) + ", not the pointer it was given (" +
                                         Hex(kPeiServicesCell, 8) + ")");

  callbacks_.clear();
  size_t eventsBefore = events_.size();
  bool moduleService = call.name == "GetBootMode" || call.name == "LocatePpi" ||
                       call.name == "AllocatePages" || call.name == "InstallPpi" ||
                       call.name == "Stall";
  if (!options_.anyPeim && !moduleService) {
    call.expected = false;
    call.status = kEfiUnsupported;
    AddViolation("unexpected-service",
                 "called PEI service " + call.name +
                     ", which UsbControllerPeim has no reason to use (another PEIM: run it "
                     "with --any-peim)");
  } else if (!CarryOut(call, entry)) {
    call.supported = false;
    call.status = kEfiUnsupported;
    AddViolation("unsupported-service", "called " + call.name +
                                            ", which this PEI Foundation does not carry out; the "
                                            "run stops there");
    stopped_ = true;
    uc_emu_stop(uc_);
  }
  if (phase_ == Phase::kConsumer)
    AddViolation("consumer-service", "GetUsbController called " + call.name);

  Event e;
  e.kind = EventKind::kService;
  e.phase = phase_;
  e.eip = CallSite(ret);
  e.value = call.status;
  e.service = int(services_.size());
  bool stalled = call.name == "Stall" && !call.injected;
  if (stalled) {
    stallCalls_++;
    stalledUs_ += call.args[2];
  }
  // The accesses a CpuIo or PciCfg member made were traced while it ran;
  // the call's own line goes before them.
  bool recorded = Record(e);
  if (recorded) {
    std::rotate(events_.begin() + long(eventsBefore), events_.end() - 1, events_.end());
    services_.push_back(call);
    if (stalled) stalls_.push_back(call.args[2]);
  }
  if (stopped_ && resetRequested_) return;
  if (statusCodeFunction_) {
    uint32_t function = statusCodeFunction_;
    statusCodeFunction_ = 0;
    if (!stopped_) StartStatusCode(esp, function, call, recorded ? services_.size() - 1 : kNoEntry);
    return;
  }

  if (!callbacks_.empty()) {
    StartCallbacks(esp, call.status);
    return;
  }
  // Return to the caller as a cdecl function does; the scratch registers
  // come back with garbage, as they may from a real Foundation.
  uint32_t ecx = uint32_t(scratch_()),
           edx = call.returns64 ? call.statusHigh : uint32_t(scratch_());
  esp += 4;
  uc_reg_write(uc_, UC_X86_REG_EAX, &call.status);
  uc_reg_write(uc_, UC_X86_REG_ECX, &ecx);
  uc_reg_write(uc_, UC_X86_REG_EDX, &edx);
  uc_reg_write(uc_, UC_X86_REG_ESP, &esp);
  uc_reg_write(uc_, UC_X86_REG_EIP, &ret);
}

void Platform::DoGetBootMode(ServiceCall &call) {
  uint32_t out = call.args[1];
  call.arguments = "BootMode -> " + Where(out);
  call.in.AddPointer("BootMode", out, Where(out));
  call.status = ServiceStatus(call.name, kEfiSuccess, call.injected);
  if (call.injected) return;
  uint32_t mode = bootMode_;  // as SetBootMode left it
  if (!ServiceOutput(call, out, &mode, 4, "BootMode")) {
    call.status = kEfiInvalidParameter;
    return;
  }
  std::string name = BootModeName(mode);
  call.results = "BootMode = " + Hex(mode, 2) + (name.empty() ? "" : " " + name);
  call.out.AddBootMode("BootMode", mode);
}

void Platform::DoLocatePpi(ServiceCall &call) {
  uint32_t guidAt = call.args[1], instance = call.args[2], descOut = call.args[3],
           ppiOut = call.args[4];
  Guid guid{};
  bool haveGuid = guidAt != 0 && Read(guidAt, guid.data(), 16);
  call.arguments = (haveGuid ? GuidName(guid) : "Guid " + Hex(guidAt, 8) + " (unreadable)") +
                   ", Instance " + std::to_string(instance) + ", Descriptor " +
                   (descOut ? "-> " + Where(descOut) : std::string("NULL")) + ", Ppi " +
                   (ppiOut ? "-> " + Where(ppiOut) : std::string("NULL"));
  if (haveGuid)
    call.in.AddGuid("Guid", guid);
  else
    call.in.AddPointer("Guid", guidAt, Where(guidAt));
  call.in.AddNumber("Instance", instance)
      .AddPointer("Descriptor", descOut, Where(descOut))
      .AddPointer("Ppi", ppiOut, Where(ppiOut));
  call.status = ServiceStatus(call.name, kEfiSuccess, call.injected);
  if (call.injected) return;
  if (!haveGuid) {
    AddViolation("service-argument", "LocatePpi was given an unreadable GUID pointer");
    call.status = kEfiInvalidParameter;
    return;
  }
  uint32_t seen = 0;
  for (const InstalledPpi &p : ppis_) {
    if (p.guid != guid || seen++ != instance) continue;
    if (descOut && !ServiceOutput(call, descOut, &p.descriptor, 4, "PpiDescriptor")) {
      call.status = kEfiInvalidParameter;
      return;
    }
    // PeiLocatePpi writes either output only when it is given.
    if (ppiOut && !ServiceOutput(call, ppiOut, &p.ppi, 4, "Ppi")) {
      call.status = kEfiInvalidParameter;
      return;
    }
    call.results = "Ppi = " + Hex(p.ppi, 8) + (p.ppi == kStallPpi ? " (Stall PPI)" : "");
    if (descOut) call.out.AddPointer("Descriptor", p.descriptor, Where(p.descriptor));
    if (ppiOut)
      call.out.AddPointer("Ppi", p.ppi, p.ppi == kStallPpi ? "Stall PPI" : Where(p.ppi));
    return;
  }
  call.status = kEfiNotFound;
}

void Platform::DoAllocatePages(ServiceCall &call) {
  uint32_t type = call.args[1], pages = call.args[2], out = call.args[3];
  std::string typeName = MemoryTypeName(type);
  call.arguments = (typeName.empty() ? "MemoryType " + std::to_string(type) : typeName) + ", " +
                   std::to_string(pages) + (pages == 1 ? " page" : " pages") + ", Memory -> " +
                   Where(out);
  call.in.AddMemoryType("MemoryType", type).AddNumber("Pages", pages).AddPointer("Memory", out,
                                                                                   Where(out));
  call.status = ServiceStatus(call.name, kEfiSuccess, call.injected);
  if (call.injected) return;
  // PeiAllocatePages: these types only; pages taken from the top of free
  // memory, never below EfiFreeMemoryBottom (the end of the HOB list), each
  // allocation described by a memory allocation HOB. No pages is no error.
  static const uint32_t kAllowed[] = {0, 1, 2, 3, 4, 5, 6, 9, 10};
  if (std::find(std::begin(kAllowed), std::end(kAllowed), type) == std::end(kAllowed)) {
    call.status = kEfiInvalidParameter;
    return;
  }
  uint32_t freeBottom = hobEnd_ + 8;
  if (pages > (poolNext_ - freeBottom) / kPageSize) {
    call.status = kEfiOutOfResources;
    return;
  }
  uint64_t memory = poolNext_ - pages * kPageSize;
  if (!ServiceOutput(call, out, &memory, 8, "Memory")) {
    call.status = kEfiInvalidParameter;
    return;
  }
  poolNext_ = uint32_t(memory);
  UpdateHandoff();
  AddMemoryAllocationHob(uint32_t(memory), pages * kPageSize, type);
  if (pages) allocations_.push_back({uint32_t(memory), pages, type});
  call.results = "Memory = " + Hex(memory, 8);
  call.out.AddPointer("Memory", memory, Where(uint32_t(memory)));
}

void Platform::DoInstallPpi(ServiceCall &call) {
  uint32_t list = call.args[1];
  call.arguments = "PpiList " + Hex(list, 8) + " (" + Where(list) + ")";
  call.in.AddPointer("PpiList", list, Where(list));
  call.status = ServiceStatus(call.name, kEfiSuccess, call.injected);
  std::vector<InstalledPpi> found;
  bool terminated = false;
  for (uint32_t i = 0; i < kMaxPpiDescriptors && list != 0; i++) {
    uint32_t at = list + 12 * i;
    uint8_t d[12];
    InstalledPpi p;
    if (!Read(at, d, 12)) {
      AddViolation("service-argument",
                   "InstallPpi: descriptor at " + Hex(at, 8) + " is unreadable");
      break;
    }
    p.descriptor = at;
    p.flags = Get32(d);
    p.guidAddress = Get32(d + 4);
    p.ppi = Get32(d + 8);
    p.byModule = true;
    bool guidOk = Read(p.guidAddress, p.guid.data(), 16);
    std::string flags = Hex(p.flags, 8);
    if (p.flags == 0x80000010) flags += " PPI|TERMINATE_LIST";
    // The first few descriptors are spelt out; a long list is only counted,
    // so that a call's trace line stays short.
    if (i < kDescriptorsShown) {
      const std::string field = "PpiList[" + std::to_string(i) + "].";
      call.in.AddNumber(field + "Flags", p.flags);
      if (guidOk)
        call.in.AddGuid(field + "Guid", p.guid);
      else
        call.in.AddPointer(field + "Guid", p.guidAddress, Where(p.guidAddress));
      call.in.AddPointer(field + "Ppi", p.ppi, Where(p.ppi));
      call.arguments += std::string(i ? ", " : ": ") + "[Flags " + flags + ", " +
                        (guidOk ? GuidName(p.guid) : "Guid " + Hex(p.guidAddress, 8)) +
                        ", Ppi " + Hex(p.ppi, 8) + " (" + Where(p.ppi) + ")]";
    } else if (i == kDescriptorsShown) {
      call.arguments += ", ...";
    }
    for (uint32_t where : {at, p.guidAddress, p.ppi}) {
      // A PPI may have no interface at all (a NULL Ppi): its presence is the
      // message.
      if (where == 0 && where == p.ppi) continue;
      if (where >= kStackBase && where < kStackTop)
        AddViolation("ppi-on-stack",
                     "InstallPpi: " + Hex(where, 8) +
                         " lies in the stack, which is gone once the module returns");
      else if (!InImage(where) && !Allocated(where, 1) && !InOtherImage(where))
        AddViolation("ppi-memory", "InstallPpi: " + Hex(where, 8) + " (" + Where(where) +
                                       ") is not memory the module owns");
    }
    if (!guidOk || !(p.flags & 0x10)) break;
    found.push_back(p);
    if (p.flags & 0x80000000u) {
      terminated = true;
      break;
    }
  }
  if (!terminated) {
    if (list != 0 && found.size() == kMaxPpiDescriptors)
      AddViolation("service-argument",
                   "InstallPpi: no TERMINATE_LIST flag in the first 64 descriptors");
    if (!call.injected) call.status = kEfiInvalidParameter;
    return;
  }
  if (call.injected) return;
  if (ppis_.size() + found.size() > kPpiLimit) {
    // A Foundation's PPI database has a fixed size; this one's is full.
    call.status = kEfiOutOfResources;
    call.results = "the PPI database is full (" + std::to_string(kPpiLimit) + " entries)";
    return;
  }
  ppis_.insert(ppis_.end(), found.begin(), found.end());
  QueueCallbacks(found, notifications_);
}

void Platform::DoStall(ServiceCall &call) {
  uint32_t self = call.args[1], us = call.args[2];
  call.arguments = std::string("This = ") + (self == kStallPpi ? "Stall PPI" : Hex(self, 8)) +
                   ", " + std::to_string(us) + " us";
  call.in.AddPointer("This", self, self == kStallPpi ? "Stall PPI" : Where(self))
      .AddNumber("Microseconds", us);
  if (self != kStallPpi)
    AddViolation("service-argument",
                 "Stall called with This " + Hex(self, 8) + ", not the Stall PPI");
  call.status = ServiceStatus(call.name, kEfiSuccess, call.injected);
}
void Platform::StartStatusCode(uint32_t esp, uint32_t function, const ServiceCall &call,
                               size_t service) {
  // PeiReportStatusCode calls the PPI's function with its own arguments:
  // a cdecl frame below the service's return address, returning to the
  // Foundation's trampoline.
  uint32_t frame[7] = {kFoundationCode + kStatusCodeReturnEntry * kServiceStride};
  for (int i = 0; i < 6; i++) frame[i + 1] = call.args[i];
  uint32_t below = esp - sizeof frame;
  if (statusCodeCalls_.size() >= kStatusCodeDepth ||
      !(below >= kRamBase && uint64_t(below) + sizeof frame <= kRamEnd) ||
      !WritableByModule(below, sizeof frame)) {
    AddViolation(statusCodeCalls_.size() >= kStatusCodeDepth ? "notify-depth" : "stack-outside",
                 statusCodeCalls_.size() >= kStatusCodeDepth
                     ? "status code reports nested " + std::to_string(kStatusCodeDepth) + " deep"
                     : "the status code PPI's frame would go at ESP " + Hex(below, 8) + " (" +
                           Where(below) + "), which is not memory the module's stack may use");
    stopped_ = true;
    uc_emu_stop(uc_);
    return;
  }
  HostWrite(below, frame, sizeof frame);
  statusCodeCalls_.push_back({esp, service});
  uc_reg_write(uc_, UC_X86_REG_ESP, &below);
  uc_reg_write(uc_, UC_X86_REG_EIP, &function);
}

void Platform::OnStatusCodeReturn(uint32_t esp) {
  if (statusCodeCalls_.empty() || esp != statusCodeCalls_.back().esp - 24) {
    AddViolation(statusCodeCalls_.empty() ? "service-entry" : "stack-imbalance",
                 statusCodeCalls_.empty()
                     ? "returned into the Foundation's status code trampoline with no report running"
                     : "the status code PPI's ReportStatusCode returned with ESP " + Hex(esp, 8) +
                           ", expected " + Hex(statusCodeCalls_.back().esp - 24, 8));
    stopped_ = true;
    uc_emu_stop(uc_);
    return;
  }
  StatusCodeCall c = statusCodeCalls_.back();
  statusCodeCalls_.pop_back();
  uint32_t status = 0;
  uc_reg_read(uc_, UC_X86_REG_EAX, &status);
  if (c.service < services_.size()) services_[c.service].status = status;
  uint32_t ret = Read32(c.esp), back = c.esp + 4;
  uint32_t ecx = uint32_t(scratch_()), edx = uint32_t(scratch_());
  uc_reg_write(uc_, UC_X86_REG_ECX, &ecx);
  uc_reg_write(uc_, UC_X86_REG_EDX, &edx);
  uc_reg_write(uc_, UC_X86_REG_ESP, &back);
  uc_reg_write(uc_, UC_X86_REG_EIP, &ret);
}

}  // namespace peimsim
