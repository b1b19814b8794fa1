// The PEI services beyond the ones UsbControllerPeim uses, for running any
// PEIM: the PPI database's notifications and reinstallation, the boot mode,
// the HOB list, pool memory, memory copies, status codes, reset, shadowing,
// and the CpuIo and PciCfg PPIs, whose calls reach the same traced ports and
// configuration spaces as the processor's own accesses.
#include <unicorn/unicorn.h>

#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "platform.h"

namespace peimsim {
namespace {

constexpr uint32_t kPpiFlag = 0x10;
constexpr uint32_t kNotifyCallback = 0x20;
constexpr uint32_t kNotifyDispatch = 0x40;
constexpr uint32_t kTerminateList = 0x80000000u;
constexpr uint32_t kMaxNotifyDescriptors = 64;
constexpr size_t kNotificationLimit = 256;
constexpr size_t kCallbackDepth = 16;
constexpr uint32_t kMaxCopy = kRamEnd;  // CopyMem and SetMem: no more than all of RAM
constexpr uint32_t kMaxIoCount = 0x10000;

const char *const kCpuIoNames[20] = {
    "CpuIo.Mem.Read",  "CpuIo.Mem.Write",  "CpuIo.Io.Read",    "CpuIo.Io.Write",
    "CpuIo.IoRead8",   "CpuIo.IoRead16",   "CpuIo.IoRead32",   "CpuIo.IoRead64",
    "CpuIo.IoWrite8",  "CpuIo.IoWrite16",  "CpuIo.IoWrite32",  "CpuIo.IoWrite64",
    "CpuIo.MemRead8",  "CpuIo.MemRead16",  "CpuIo.MemRead32",  "CpuIo.MemRead64",
    "CpuIo.MemWrite8", "CpuIo.MemWrite16", "CpuIo.MemWrite32", "CpuIo.MemWrite64",
};
const char *const kPciCfgNames[3] = {"PciCfg.Read", "PciCfg.Write", "PciCfg.Modify"};

uint64_t Join(uint32_t low, uint32_t high) { return uint64_t(high) << 32 | low; }

std::string StatusCodeType(uint32_t type) {
  static const char *const kTypes[] = {"?", "PROGRESS", "ERROR", "DEBUG"};
  std::string s = (type & 0xFF) < 4 ? kTypes[type & 0xFF] : Hex(type & 0xFF, 2);
  uint32_t severity = type >> 24;
  if ((type & 0xFF) == 2 && severity)
    s += severity == 0x40   ? " MINOR"
         : severity == 0x80 ? " MAJOR"
         : severity == 0x90 ? " UNRECOVERED"
         : severity == 0xA0 ? " UNCONTAINED"
                            : " " + Hex(severity, 2);
  return s;
}

std::string StatusCodeValue(uint32_t value) {
  static const char *const kClasses[] = {"computing unit", "peripheral", "I/O bus", "software"};
  uint32_t cls = value >> 24;
  return Hex(value, 8) + " (" + (cls < 4 ? kClasses[cls] : "class " + Hex(cls, 2)) + ", subclass " +
         Hex(value >> 16 & 0xFF, 2) + ", operation " + Hex(value & 0xFFFF, 4) + ")";
}

}  // namespace

std::string EntryName(int entry) {
  if (entry >= 0 && entry < kServiceSlots) return ServiceSlotName(entry);
  if (entry == kStallEntry) return "Stall";
  if (entry >= kCpuIoEntries && entry < kCpuIoEntries + 20)
    return kCpuIoNames[entry - kCpuIoEntries];
  if (entry >= kPciCfgEntries && entry < kPciCfgEntries + 3)
    return kPciCfgNames[entry - kPciCfgEntries];
  if (entry == kNotifyReturnEntry) return "notify callback return";
  if (entry == kStatusCodeReturnEntry) return "status code return";
  return "";
}

int EntryFromName(const std::string &name) {
  // Looked up on every service call (for --fail): built once.
  static const std::unordered_map<std::string, int> kEntries = [] {
    std::unordered_map<std::string, int> m;
    for (int entry = 0; entry < kNotifyReturnEntry; entry++) m.emplace(EntryName(entry), entry);
    return m;
  }();
  auto it = kEntries.find(name);
  return it == kEntries.end() ? -1 : it->second;
}

bool EntryTakesPeiServices(int entry) {
  static const std::vector<bool> kTakes = [] {
    std::vector<bool> takes(kEntryCount, true);
    for (const char *n :
         {"CopyMem", "SetMem", "FfsFindFileByName", "FfsGetFileInfo", "FfsGetFileInfo2",
          "FfsGetVolumeInfo", "RegisterForShadow", "ResetSystem2"})
      takes[size_t(EntryFromName(n))] = false;
    return takes;
  }();
  return entry < 0 || entry >= kEntryCount || kTakes[size_t(entry)];
}

bool Platform::CarryOut(ServiceCall &call, int entry) {
  const std::string &n = call.name;
  if (n == "GetBootMode")
    DoGetBootMode(call);
  else if (n == "LocatePpi")
    DoLocatePpi(call);
  else if (n == "AllocatePages")
    DoAllocatePages(call);
  else if (n == "InstallPpi")
    DoInstallPpi(call);
  else if (n == "Stall")
    DoStall(call);
  else if (n == "ReInstallPpi")
    DoReInstallPpi(call);
  else if (n == "NotifyPpi")
    DoNotifyPpi(call);
  else if (n == "SetBootMode")
    DoSetBootMode(call);
  else if (n == "GetHobList")
    DoGetHobList(call);
  else if (n == "CreateHob")
    DoCreateHob(call);
  else if (n == "AllocatePool")
    DoAllocatePool(call);
  else if (n == "FreePages")
    DoFreePages(call);
  else if (n == "InstallPeiMemory")
    DoInstallPeiMemory(call);
  else if (n == "CopyMem" || n == "SetMem")
    DoCopyOrSetMem(call);
  else if (n == "ReportStatusCode")
    DoReportStatusCode(call);
  else if (n == "ResetSystem" || n == "ResetSystem2")
    DoResetSystem(call);
  else if (n == "RegisterForShadow")
    DoRegisterForShadow(call);
  else if (entry >= kCpuIoEntries && entry < kCpuIoEntries + 20)
    DoCpuIo(call, entry - kCpuIoEntries);
  else if (entry >= kPciCfgEntries && entry < kPciCfgEntries + 3)
    DoPciCfg(call, entry - kPciCfgEntries);
  else
    return DoVolumeService(call);
  return true;
}

// ---- The PPI database: notifications ----------------------------------------

void Platform::QueueCallbacks(const std::vector<InstalledPpi> &ppis,
                              const std::vector<Notification> &notifications) {
  for (const Notification &n : notifications) {
    if (!(n.flags & kNotifyCallback)) continue;
    for (const InstalledPpi &p : ppis)
      if (p.guid == n.guid) callbacks_.push_back({n, p});
  }
}

void Platform::StartCallbacks(uint32_t esp, uint32_t status) {
  if (pending_.size() >= kCallbackDepth) {
    AddViolation("notify-depth", "notify callbacks nested " + std::to_string(kCallbackDepth) +
                                     " deep (each installing a PPI another one waits for)");
    stopped_ = true;
    uc_emu_stop(uc_);
    return;
  }
  PendingReturn r;
  r.status = status;
  r.esp = esp;
  r.callbacks = callbacks_;
  callbacks_.clear();
  pending_.push_back(std::move(r));
  RunNextCallback();
}

void Platform::RunNextCallback() {
  PendingReturn &r = pending_.back();
  if (r.next == r.callbacks.size()) {
    // Every callback has run: the service returns to its caller.
    uint32_t ret = Read32(r.esp), esp = r.esp + 4, status = r.status;
    uint32_t ecx = uint32_t(scratch_()), edx = uint32_t(scratch_());
    pending_.pop_back();
    uc_reg_write(uc_, UC_X86_REG_EAX, &status);
    uc_reg_write(uc_, UC_X86_REG_ECX, &ecx);
    uc_reg_write(uc_, UC_X86_REG_EDX, &edx);
    uc_reg_write(uc_, UC_X86_REG_ESP, &esp);
    uc_reg_write(uc_, UC_X86_REG_EIP, &ret);
    return;
  }
  const auto &c = r.callbacks[r.next++];
  // EFI_STATUS Notify(PeiServices, NotifyDescriptor, Ppi), called below the
  // service's return address; it returns to the Foundation's trampoline.
  uint32_t frame[4] = {kFoundationCode + kNotifyReturnEntry * kServiceStride, kPeiServicesCell,
                       c.first.descriptor, c.second.ppi};
  uint32_t esp = r.esp - 16;
  // The processor would push the frame below the module's ESP: it goes
  // there only when that is memory the module's stack may use.
  if (!(esp >= kRamBase && uint64_t(esp) + sizeof frame <= kRamEnd) ||
      !WritableByModule(esp, sizeof frame)) {
    AddViolationAt("stack-outside", "a notify callback's frame would go at ESP " + Hex(esp, 8) +
                                        " (" + Where(esp) +
                                        "), which is not memory the module's stack may use; the "
                                        "run stops",
                   CallSite(Read32(r.esp)));
    stopped_ = true;
    uc_emu_stop(uc_);
    return;
  }
  HostWrite(esp, frame, sizeof frame);
  NoteCallback(c.first.function);
  ServiceCall call;
  call.name = "Notify";
  call.arguments = GuidName(c.first.guid) + " installed: callback " + Hex(c.first.function, 8) +
                   " (" + Where(c.first.function) + "), Ppi " + Hex(c.second.ppi, 8);
  call.in.AddGuid("Guid", c.first.guid)
      .AddText("Notification", "callback")
      .AddPointer("Callback", c.first.function, Where(c.first.function))
      .AddPointer("Ppi", c.second.ppi, Where(c.second.ppi));
  Event e;
  e.kind = EventKind::kService;
  e.phase = phase_;
  e.eip = c.first.function;
  e.service = int(services_.size());
  if (Record(e)) services_.push_back(call);
  uint32_t function = c.first.function;
  uc_reg_write(uc_, UC_X86_REG_ESP, &esp);
  uc_reg_write(uc_, UC_X86_REG_EIP, &function);
}

void Platform::OnNotifyReturn(uint32_t esp) {
  if (pending_.empty() || esp != pending_.back().esp - 12) {
    AddViolation(pending_.empty() ? "service-entry" : "stack-imbalance",
                 pending_.empty() ? "returned into the Foundation's notify trampoline with no "
                                    "callback running"
                                  : "a notify callback returned with ESP " + Hex(esp, 8) +
                                        ", expected " + Hex(pending_.back().esp - 12, 8));
    stopped_ = true;
    uc_emu_stop(uc_);
    return;
  }
  RunNextCallback();
}

void Platform::RunDispatchNotifications() {
  // NOTIFY_DISPATCH: run once the module's entry has returned, for the PPIs
  // it installed.
  std::vector<std::pair<Notification, InstalledPpi>> due;
  for (const Notification &n : notifications_) {
    // A descriptor with both flags is a callback one (InternalPeiNotifyPpi).
    if (!(n.flags & kNotifyDispatch) || (n.flags & kNotifyCallback)) continue;
    for (const InstalledPpi &p : ppis_)
      if (p.byModule && p.guid == n.guid) due.push_back({n, p});
  }
  RunNotifications(due, "dispatch callback ");
}

void Platform::RunNotifications(const std::vector<std::pair<Notification, InstalledPpi>> &due,
                                const char *kind) {
  for (const auto &d : due) {
    if (violations_.size() >= kViolationLimit || resetRequested_) break;
    ServiceCall call;
    call.name = "Notify";
    call.arguments = GuidName(d.first.guid) + " installed: " + kind + Hex(d.first.function, 8) +
                     " (" + Where(d.first.function) + "), Ppi " + Hex(d.second.ppi, 8);
    call.in.AddGuid("Guid", d.first.guid)
        .AddText("Notification", std::string(kind, strlen(kind) - 1))  // no trailing blank
        .AddPointer("Callback", d.first.function, Where(d.first.function))
        .AddPointer("Ppi", d.second.ppi, Where(d.second.ppi));
    Event e;
    e.kind = EventKind::kService;
    e.phase = phase_;
    e.eip = d.first.function;
    e.service = int(services_.size());
    if (Record(e)) services_.push_back(call);
    CallOutcome o = Call(d.first.function, {kPeiServicesCell, d.first.descriptor, d.second.ppi}, {},
                         Phase::kEntry);
    entryInstructions_ += o.instructions;
  }
}

CallOutcome Platform::AfterEntry(uint32_t entry, uint32_t fileHandle, CallOutcome o) {
  if (!o.returned) return o;
  if (!notifications_.empty()) RunDispatchNotifications();
  bool memory = options_.memory == MemoryWorld::kAfter || !options_.anyPeim ||
                std::any_of(ppis_.begin(), ppis_.end(), [](const InstalledPpi &p) {
                  return p.guid == kMemoryDiscoveredPpiGuid;
                });
  bool before = !memory;
  if (!memory && installedMemory_ && !stopped_ && !resetRequested_) {
    // The Foundation switches to the memory and installs the MemoryDiscovered
    // PPI (PeiCore), which calls the callbacks waiting for it; then the
    // dispatch notifications for it (ProcessDispatchNotifyList).
    InstalledPpi discovered = MemoryDiscoveredPpi();
    ppis_.push_back(discovered);
    std::vector<std::pair<Notification, InstalledPpi>> callbacks, dispatch;
    for (const Notification &n : notifications_)
      if (n.guid == discovered.guid)
        ((n.flags & kNotifyCallback) ? callbacks : dispatch).push_back({n, discovered});
    RunNotifications(callbacks, "callback ");
    RunNotifications(dispatch, "dispatch callback ");
    memory = true;
  }
  if (memory && shadowRegistered_ && !stopped_ && !resetRequested_) {
    // RegisterForShadow: the entry again, now that memory is there; its
    // outcome is the module's. Memory that came during this PEIM's run
    // means it ran from where it was found: the core loads it again, into
    // memory (PeiLoadImage), and calls that copy.
    shadowRun_ = true;
    if (before) {
      pe::Image image = image_;
      uint32_t base = LoadAddress();
      for (const OtherImage &other : others_)
        if (entry - other.base < other.size) image = other.image, base = other.base;
      std::string error;
      uint32_t copy = LoadInRam(image, "the copy in memory", error);
      if (!copy) {
        AddViolation("shadow", "the entry cannot be called again in memory: " + error, false);
        return o;
      }
      entry = copy + (entry - base);
    }
    CallOutcome again = Call(entry, {fileHandle, kPeiServicesCell}, {}, Phase::kEntry);
    entryInstructions_ += again.instructions;
    again.instructions = entryInstructions_;
    return again;
  }
  return o;
}

InstalledPpi Platform::MemoryDiscoveredPpi() const {
  InstalledPpi p;
  p.descriptor = kMemoryDiscoveredDescriptor;
  p.flags = kPpiFlag | kTerminateList;
  p.guid = kMemoryDiscoveredPpiGuid;
  p.guidAddress = kMemoryDiscoveredDescriptor + 12;
  p.ppi = 0;
  return p;
}

void Platform::DoNotifyPpi(ServiceCall &call) {
  uint32_t list = call.args[1];
  call.arguments = "NotifyList " + Hex(list, 8) + " (" + Where(list) + ")";
  call.in.AddPointer("NotifyList", list, Where(list));
  call.status = ServiceStatus(call.name, kEfiSuccess, call.injected);
  std::vector<Notification> found;
  bool terminated = false;
  for (uint32_t i = 0; i < kMaxNotifyDescriptors && list != 0; i++) {
    uint32_t at = list + 12 * i, d[3];
    Notification n;
    if (!Read(at, d, 12) || !Read(d[1], n.guid.data(), 16)) {
      AddViolation("service-argument",
                   "NotifyPpi: descriptor at " + Hex(at, 8) + " or its GUID is unreadable");
      break;
    }
    n.descriptor = at;
    n.flags = d[0];
    n.function = d[2];
    if (i < 4) {
      call.arguments += std::string(i ? ", " : ": ") + "[Flags " + Hex(n.flags, 8) + ", " +
                        GuidName(n.guid) + ", Notify " + Hex(n.function, 8) + "]";
      const std::string field = "NotifyList[" + std::to_string(i) + "].";
      call.in.AddNumber(field + "Flags", n.flags)
          .AddGuid(field + "Guid", n.guid)
          .AddPointer(field + "Notify", n.function, Where(n.function));
    }
    if (!(n.flags & (kNotifyCallback | kNotifyDispatch))) {
      AddViolation("service-argument", "NotifyPpi: descriptor at " + Hex(at, 8) +
                                           " has neither NOTIFY_CALLBACK nor NOTIFY_DISPATCH");
      break;
    }
    found.push_back(n);
    if (n.flags & kTerminateList) {
      terminated = true;
      break;
    }
  }
  if (!terminated) {
    if (!call.injected) call.status = kEfiInvalidParameter;
    return;
  }
  if (call.injected) return;
  if (notifications_.size() + found.size() > kNotificationLimit) {
    call.status = kEfiOutOfResources;
    call.results =
        "the notification list is full (" + std::to_string(kNotificationLimit) + " entries)";
    return;
  }
  notifications_.insert(notifications_.end(), found.begin(), found.end());
  // Callbacks for PPIs already installed run now, before NotifyPpi returns.
  QueueCallbacks(ppis_, found);
}

void Platform::DoReInstallPpi(ServiceCall &call) {
  uint32_t oldAt = call.args[1], newAt = call.args[2];
  call.arguments = "OldPpi " + Hex(oldAt, 8) + " (" + Where(oldAt) + "), NewPpi " + Hex(newAt, 8) +
                   " (" + Where(newAt) + ")";
  call.in.AddPointer("OldPpi", oldAt, Where(oldAt)).AddPointer("NewPpi", newAt, Where(newAt));
  call.status = ServiceStatus(call.name, kEfiSuccess, call.injected);
  if (call.injected) return;
  uint32_t d[3];
  InstalledPpi p;
  // PeiReInstallPpi: both descriptors given, the new one a PPI's.
  if (oldAt == 0 || newAt == 0 || !Read(newAt, d, 12) || !Read(d[1], p.guid.data(), 16) ||
      !(d[0] & kPpiFlag)) {
    call.status = kEfiInvalidParameter;
    return;
  }
  auto it = std::find_if(ppis_.begin(), ppis_.end(),
                         [&](const InstalledPpi &q) { return q.descriptor == oldAt; });
  if (it == ppis_.end()) {
    call.status = kEfiNotFound;
    return;
  }
  p.descriptor = newAt;
  p.flags = d[0];
  p.guidAddress = d[1];
  p.ppi = d[2];
  p.byModule = true;
  *it = p;
  call.results = GuidName(p.guid) + " now at Ppi " + Hex(p.ppi, 8);
  call.out.AddGuid("Guid", p.guid).AddPointer("Ppi", p.ppi, Where(p.ppi));
  QueueCallbacks({p}, notifications_);
}

// ---- Boot mode, HOBs, memory ---------------------------------------------------

void Platform::DoSetBootMode(ServiceCall &call) {
  uint32_t mode = call.args[1];
  std::string name = BootModeName(mode);
  call.arguments = "BootMode " + Hex(mode, 2) + (name.empty() ? "" : " " + name);
  call.in.AddBootMode("BootMode", mode);
  call.status = ServiceStatus(call.name, kEfiSuccess, call.injected);
  if (call.injected) return;
  bootMode_ = mode;
  HostWrite(kPoolBase + 12, &mode, 4);  // the PHIT's BootMode
}

void Platform::BuildHobList() {
  // The PHIT, the system memory, then an end marker; CreateHob and
  // AllocatePool add theirs before the end marker, volumes add FV HOBs.
  uint8_t *p = ram_ + kPoolBase;
  memset(p, 0, 56 + 48 + 8);
  auto header = [&](uint8_t *h, uint16_t type, uint16_t length) {
    memcpy(h, &type, 2);
    memcpy(h + 2, &length, 2);
  };
  header(p, kHobHandoff, 56);
  uint32_t version = 9;
  memcpy(p + 8, &version, 4);
  memcpy(p + 12, &options_.bootMode, 4);
  uint64_t top = kPoolBase + kPoolPages * kPageSize, bottom = kPoolBase;
  memcpy(p + 16, &top, 8);     // EfiMemoryTop
  memcpy(p + 24, &bottom, 8);  // EfiMemoryBottom
  uint8_t *r = p + 56;
  header(r, kHobResourceDescriptor, 48);
  uint32_t type = 0, attributes = 0x7;  // system memory: present, initialised, tested
  uint64_t start = 0, length = kRamEnd;
  memcpy(r + 24, &type, 4);
  memcpy(r + 28, &attributes, 4);
  memcpy(r + 32, &start, 8);
  memcpy(r + 40, &length, 8);
  hobEnd_ = initialHobEnd_ = kPoolBase + 56 + 48;
  header(ram_ + hobEnd_, kHobEndOfList, 8);
  UpdateHandoff();
}

void Platform::UpdateHandoff() {
  uint64_t freeTop = poolNext_, freeBottom = hobEnd_ + 8, end = hobEnd_;
  memcpy(ram_ + kPoolBase + 32, &freeTop, 8);
  memcpy(ram_ + kPoolBase + 40, &freeBottom, 8);
  memcpy(ram_ + kPoolBase + 48, &end, 8);
  MarkDirty(kPoolBase, 56);
}

uint32_t Platform::AppendHob(uint16_t type, uint32_t length) {
  length = (length + 7) & ~7u;
  if (length < 8 || length > 0xFFF8 || uint64_t(hobEnd_) + length + 8 > poolNext_) return 0;
  uint32_t at = hobEnd_;
  std::vector<uint8_t> hob(length + 8, 0);
  uint16_t len16 = uint16_t(length), end = kHobEndOfList, eight = 8;
  memcpy(hob.data(), &type, 2);
  memcpy(hob.data() + 2, &len16, 2);
  memcpy(hob.data() + length, &end, 2);
  memcpy(hob.data() + length + 2, &eight, 2);
  HostWrite(at, hob.data(), hob.size());
  hobEnd_ = at + length;
  UpdateHandoff();
  return at;
}

void Platform::AddMemoryAllocationHob(uint32_t address, uint32_t bytes, uint32_t type) {
  // EFI_HOB_MEMORY_ALLOCATION: Name (zero), MemoryBaseAddress, MemoryLength,
  // MemoryType, as InternalBuildMemoryAllocationHob writes it. When the HOB
  // list has no room left the pages are still handed out, as there.
  uint32_t hob = AppendHob(kHobMemoryAllocation, 48);
  if (!hob) return;
  uint64_t base = address, length = bytes;
  HostWrite(hob + 24, &base, 8);
  HostWrite(hob + 32, &length, 8);
  HostWrite(hob + 40, &type, 4);
}

void Platform::DoGetHobList(ServiceCall &call) {
  uint32_t out = call.args[1];
  call.arguments = "HobList -> " + Where(out);
  call.in.AddPointer("HobList", out, Where(out));
  call.status = ServiceStatus(call.name, kEfiSuccess, call.injected);
  if (call.injected) return;
  uint32_t list = kPoolBase;
  if (!ServiceOutput(call, out, &list, 4, "HobList")) {
    call.status = kEfiInvalidParameter;
    return;
  }
  call.results = "HobList = " + Hex(list, 8);
  call.out.AddPointer("HobList", list, Where(list));
}

void Platform::DoCreateHob(ServiceCall &call) {
  uint32_t type = call.args[1] & 0xFFFF, length = call.args[2] & 0xFFFF, out = call.args[3];
  call.arguments =
      "Type " + Hex(type, 4) + ", Length " + std::to_string(length) + ", Hob -> " + Where(out);
  call.in.AddNumber("Type", type).AddNumber("Length", length).AddPointer("Hob", out, Where(out));
  call.status = ServiceStatus(call.name, kEfiSuccess, call.injected);
  if (call.injected) return;
  // PeiCreateHob refuses only lengths that cannot be rounded up to 8 in 16
  // bits; a shorter one becomes 8 bytes (a length of 0 is refused here: the
  // core would write a HOB that ends no HOB walk).
  if (length == 0 || length > 0xFFF8 || out == 0) {
    call.status = kEfiInvalidParameter;
    return;
  }
  uint32_t at = AppendHob(uint16_t(type), length);
  if (!at) {
    call.status = kEfiOutOfResources;
    return;
  }
  if (!ServiceOutput(call, out, &at, 4, "Hob")) {
    call.status = kEfiInvalidParameter;
    return;
  }
  allocations_.push_back({at, 0, 0, (length + 7) & ~7u});
  call.results = "Hob = " + Hex(at, 8);
  call.out.AddPointer("Hob", at, Where(at));
}

void Platform::DoAllocatePool(ServiceCall &call) {
  uint32_t size = call.args[1], out = call.args[2];
  call.arguments = std::to_string(size) + " bytes, Buffer -> " + Where(out);
  call.in.AddNumber("Size", size).AddPointer("Buffer", out, Where(out));
  call.status = ServiceStatus(call.name, kEfiSuccess, call.injected);
  if (call.injected) return;
  // Pool memory is a memory pool HOB's body, as in the PI HOB list.
  // PeiAllocatePool: at most 0xFFF8 bytes of HOB, its 8-byte header included.
  uint32_t at = size <= 0xFFF8 - 8 ? AppendHob(kHobMemoryPool, size + 8) : 0;
  if (!at) {
    call.status = kEfiOutOfResources;
    return;
  }
  uint32_t buffer = at + 8;
  if (!ServiceOutput(call, out, &buffer, 4, "Buffer")) {
    call.status = kEfiInvalidParameter;
    return;
  }
  allocations_.push_back({buffer, 0, 4, size});
  call.results = "Buffer = " + Hex(buffer, 8);
  call.out.AddPointer("Buffer", buffer, Where(buffer));
}

void Platform::DoFreePages(ServiceCall &call) {
  uint64_t memory = Join(call.args[1], call.args[2]);
  uint32_t pages = call.args[3];
  call.arguments = "Memory " + Hex(memory, 8) + ", " + std::to_string(pages) + " pages";
  call.in.AddPointer("Memory", memory, memory >> 32 ? "" : Where(uint32_t(memory)))
      .AddNumber("Pages", pages);
  call.status = ServiceStatus(call.name, kEfiSuccess, call.injected);
  if (call.injected) return;
  // PeiFreePages: whole pages of one allocation; the part freed at the top
  // of free memory goes back to it.
  uint64_t bytes = uint64_t(pages) * kPageSize;
  if (pages == 0 || memory % kPageSize != 0 || memory + bytes - 1 <= memory) {
    call.status = kEfiInvalidParameter;
    return;
  }
  auto it = std::find_if(allocations_.begin(), allocations_.end(), [&](const Allocation &a) {
    return a.pages != 0 && memory >= a.address &&
           memory + bytes <= uint64_t(a.address) + uint64_t(a.pages) * kPageSize;
  });
  if (it == allocations_.end()) {
    call.status = kEfiNotFound;
    return;
  }
  Allocation before = *it, after = *it;
  allocations_.erase(it);
  before.pages = uint32_t((memory - before.address) / kPageSize);
  after.address = uint32_t(memory + bytes);
  after.pages -= before.pages + pages;
  if (after.pages) allocations_.push_back(after);
  if (before.pages) allocations_.push_back(before);
  if (memory == poolNext_) {
    poolNext_ = uint32_t(memory + bytes);
    UpdateHandoff();
  }
}

void Platform::DoInstallPeiMemory(ServiceCall &call) {
  uint64_t begin = Join(call.args[1], call.args[2]), length = Join(call.args[3], call.args[4]);
  call.arguments = "MemoryBegin " + Hex(begin, 8) + ", MemoryLength " + Hex(length);
  call.in.AddPointer("MemoryBegin", begin, begin >> 32 ? "" : Where(uint32_t(begin)))
      .AddNumber("MemoryLength", length);
  call.status = ServiceStatus(call.name, kEfiSuccess, call.injected);
  if (call.injected) return;
  // PeiInstallPeiMemory takes the range as given (OVMF's lies just below
  // 0x0F000000, above this platform's RAM) and only once: a second call is
  // an error it reports and returns EFI_SUCCESS for. The platform's pages
  // stay where they are; before memory, the shadow entries and the
  // MemoryDiscovered PPI follow once the PEIM returns.
  if (installedMemory_ || options_.memory == MemoryWorld::kAfter) {
    call.results = "permanent memory is installed already: the call changes nothing";
    return;
  }
  installedMemory_ = true;
  call.results = "permanent memory: the switch follows once the PEIM returns";
}

void Platform::DoCopyOrSetMem(ServiceCall &call) {
  bool copy = call.name == "CopyMem";
  uint32_t dest = call.args[0], length = call.args[copy ? 2 : 1];
  call.arguments = copy ? "Destination " + Hex(dest, 8) + " (" + Where(dest) + "), Source " +
                              Hex(call.args[1], 8) + " (" + Where(call.args[1]) + "), " +
                              std::to_string(length) + " bytes"
                        : "Buffer " + Hex(dest, 8) + " (" + Where(dest) + "), " +
                              std::to_string(length) + " bytes, Value " +
                              Hex(call.args[2] & 0xFF, 2);
  if (copy)
    call.in.AddPointer("Destination", dest, Where(dest))
        .AddPointer("Source", call.args[1], Where(call.args[1]))
        .AddNumber("Length", length);
  else
    call.in.AddPointer("Buffer", dest, Where(dest))
        .AddNumber("Size", length)
        .AddNumber("Value", call.args[2] & 0xFF);
  call.status = ServiceStatus(call.name, kEfiSuccess, call.injected);
  if (call.injected || length == 0) return;
  if (length > kMaxCopy || !WritableByModule(dest, length) ||
      !(dest >= kRamBase && uint64_t(dest) + length <= kRamEnd)) {
    AddViolation("service-argument", call.name + " was asked to write " + std::to_string(length) +
                                         " bytes at " + Hex(dest, 8) + " (" + Where(dest) +
                                         "), which is not the module's memory");
    return;
  }
  std::vector<uint8_t> bytes(length, uint8_t(call.args[2]));
  if (copy && !Read(call.args[1], bytes.data(), length)) {
    AddViolation("service-argument", "CopyMem was asked to read " + std::to_string(length) +
                                         " bytes at " + Hex(call.args[1], 8) + " (" +
                                         Where(call.args[1]) + "), which are not all mapped");
    return;
  }
  uint32_t source = call.args[1];
  if (copy && uint64_t(source) + length > kDeviceWindowBase && source < kDeviceWindowEnd) {
    // Registers answer as their devices do: each byte is read through the
    // models, traced and checked, as the processor's reads would be.
    uint32_t eip = CallSite(Read32(CurrentEsp()));
    for (uint32_t i = 0; i < length && !stopped_; i++)
      if (source + i >= kDeviceWindowBase && source + i < kDeviceWindowEnd)
        bytes[i] = uint8_t(DeviceMemoryAccess(false, source + i, 1, 0, eip));
    if (stopped_) return;  // a register nobody claims: nothing is copied
  }
  HostWrite(dest, bytes.data(), length);
}

void Platform::DoReportStatusCode(ServiceCall &call) {
  uint32_t type = call.args[1], value = call.args[2], instance = call.args[3];
  uint32_t callerId = call.args[4], data = call.args[5];
  call.arguments = StatusCodeType(type) + ", Value " + StatusCodeValue(value) + ", Instance " +
                   std::to_string(instance);
  call.in.AddNumber("Type", type).AddNumber("Value", value).AddNumber("Instance", instance);
  Guid g{};
  if (callerId && Read(callerId, g.data(), 16)) {
    call.arguments += ", CallerId " + GuidName(g);
    call.in.AddGuid("CallerId", g);
  } else {
    call.in.AddPointer("CallerId", callerId, Where(callerId));
  }
  uint8_t header[20];
  call.in.AddPointer("Data", data, Where(data));
  if (data && Read(data, header, 20)) {
    memcpy(g.data(), header + 4, 16);
    uint16_t size = uint16_t(header[2] | header[3] << 8);
    call.arguments += ", Data " + GuidName(g) + " (" + std::to_string(size) + " bytes)";
    call.in.AddGuid("DataType", g).AddNumber("DataSize", size);
  }
  // PeiReportStatusCode hands the report to the first status code PPI and
  // answers EFI_NOT_AVAILABLE_YET while none is installed.
  auto router = std::find_if(ppis_.begin(), ppis_.end(),
                             [](const InstalledPpi &p) { return p.guid == kStatusCodePpiGuid; });
  bool routed = router != ppis_.end();
  call.status = ServiceStatus(call.name, routed ? kEfiSuccess : kEfiNotAvailableYet, call.injected);
  if (call.injected) return;
  if (!routed) {
    call.results = "no status code PPI installed";
    return;
  }
  // EFI_PEI_PROGRESS_CODE_PPI.ReportStatusCode, called with the same
  // arguments once this call is traced; its status is this call's.
  uint32_t function = 0;
  if (!Read(router->ppi, &function, 4) || function == 0) {
    AddViolation("service-argument", "ReportStatusCode: the status code PPI at " +
                                         Hex(router->ppi, 8) + " has no function to call");
    call.status = kEfiInvalidParameter;
    return;
  }
  statusCodeFunction_ = function;
  call.results = "to the status code PPI's ReportStatusCode at " + Hex(function, 8) + " (" +
                 Where(function) + ")";
}

void Platform::DoResetSystem(ServiceCall &call) {
  if (call.name == "ResetSystem2") {
    static const char *const kTypes[] = {"EfiResetCold", "EfiResetWarm", "EfiResetShutdown",
                                         "EfiResetPlatformSpecific"};
    uint32_t type = call.args[0];
    call.arguments = std::string(type < 4 ? kTypes[type] : "ResetType " + Hex(type)) +
                     ", ResetStatus " + StatusName(call.args[1]);
    call.in.AddNumber("ResetType", type).AddStatus("ResetStatus", call.args[1]);
  }
  call.status = ServiceStatus(call.name, kEfiSuccess, call.injected);
  if (call.injected) return;
  resetRequested_ = true;
  AddViolation("reset", "called " + call.name + ": the platform resets, so the run ends there");
  stopped_ = true;
  uc_emu_stop(uc_);
}

void Platform::DoRegisterForShadow(ServiceCall &call) {
  uint32_t handle = call.args[0];
  call.arguments = "FileHandle " + Hex(handle, 8) + " (" + Where(handle) + ")";
  call.in.AddPointer("FileHandle", handle, Where(handle));
  call.status = ServiceStatus(call.name, kEfiSuccess, call.injected);
  if (call.injected) return;
  if (handle != fileHandle_) {
    AddViolation("service-argument",
                 "RegisterForShadow takes the module's file handle (" + Hex(fileHandle_, 8) +
                     "), not " + Hex(handle, 8) +
                     (handle == kPeiServicesCell ? " (PeiServices)" : " (" + Where(handle) + ")"));
    call.status = kEfiNotFound;
    return;
  }
  // PeiRegisterForShadow: the first call registers; a second one, and any
  // in the run after memory, hears EFI_ALREADY_STARTED. The Foundation calls
  // the entry again once permanent memory is there: at once after the entry
  // returns when it already is, else after InstallPeiMemory.
  if (shadowRun_ || shadowRegistered_) {
    call.status = kEfiAlreadyStarted;
    call.results = shadowRun_ ? "this is the run after memory" : "registered already";
  } else {
    shadowRegistered_ = true;
    call.results = options_.memory == MemoryWorld::kAfter || installedMemory_
                       ? "registered: the entry runs again after it returns"
                       : "registered: the entry runs again after InstallPeiMemory";
  }
}

// ---- CpuIo and PciCfg ---------------------------------------------------------

uint64_t Platform::ServiceAccess(bool io, bool write, uint32_t address, int size, uint64_t value,
                                 uint32_t eip) {
  if (size == 8) {  // two dword accesses, low first
    uint64_t low = ServiceAccess(io, write, address, 4, value, eip);
    uint64_t high = ServiceAccess(io, write, address + 4, 4, value >> 32, eip);
    return low | high << 32;
  }
  if (io) return PortAccess(write, uint16_t(address), size, uint32_t(value), eip);
  if (address >= kDeviceWindowBase && uint64_t(address) + size <= kDeviceWindowEnd)
    return DeviceMemoryAccess(write, address, size, value, eip);
  uint64_t v = 0;
  if (write) {
    if (!(address >= kRamBase && uint64_t(address) + size <= kRamEnd) ||
        !WritableByModule(address, uint32_t(size)))
      AddViolationAt("write-outside",
                     "CpuIo: " + Bytes(size) + " write at " + Hex(address, 8) + " (" +
                         Where(address) + "), which is not the module's",
                     eip);
    else
      HostWrite(address, &value, size_t(size));
  } else if (!Read(address, &v, size_t(size))) {
    AddViolationAt(
        "unmapped",
        "CpuIo: " + Bytes(size) + " read at " + Hex(address, 8) + ", where nothing is mapped", eip);
    v = ~0ull >> (64 - 8 * size);
  }
  return v;
}

void Platform::DoCpuIo(ServiceCall &call, int member) {
  uint32_t eip = CallSite(Read32(CurrentEsp()));
  const uint32_t *a = call.args;
  bool io = member >= 2 && member < 12;
  call.status = ServiceStatus(call.name, kEfiSuccess, call.injected);
  if (call.injected) return;
  if (member < 4) {
    // Mem.Read/Write, Io.Read/Write(PeiServices, This, Width, Address, Count, Buffer)
    bool write = member & 1;
    uint32_t width = a[2], count = a[5], buffer = a[6];
    uint64_t address = Join(a[3], a[4]);
    call.arguments = "Width " + std::to_string(width) + ", Address " + Hex(address) + ", Count " +
                     std::to_string(count) + ", Buffer " + Hex(buffer, 8);
    call.in.AddNumber("Width", width);
    if (io)
      call.in.AddNumber("Address", address);
    else
      call.in.AddPointer("Address", address, address >> 32 ? "" : Where(uint32_t(address)));
    call.in.AddNumber("Count", count).AddPointer("Buffer", buffer, Where(buffer));
    if (!options_.ioPpis) {
      // The PEI core's own CpuIo (gPeiDefaultCpuIoPpi): until a platform
      // PEIM installs one, nothing reaches the hardware.
      call.status = kEfiNotAvailableYet;
      call.results = "the PEI core's default CpuIo PPI";
      return;
    }
    int size = 1 << (width & 3);
    bool fifo = width >= 4 && width < 8, fill = width >= 8 && width < 12;
    if (width >= 12 || count > kMaxIoCount || address >> 32 || buffer == 0) {
      call.status = kEfiInvalidParameter;
      return;
    }
    for (uint32_t i = 0; i < count; i++) {
      uint32_t at = uint32_t(address) + (fifo ? 0 : i * uint32_t(size));
      uint32_t slot = buffer + (fill ? 0 : i * uint32_t(size));
      uint64_t v = 0;
      if (write) {
        if (!Read(slot, &v, size_t(size))) {
          call.status = kEfiInvalidParameter;
          return;
        }
        ServiceAccess(io, true, at, size, v, eip);
      } else {
        v = ServiceAccess(io, false, at, size, 0, eip);
        if (!ServiceOutput(call, slot, &v, size_t(size), "Buffer")) {
          call.status = kEfiInvalidParameter;
          return;
        }
      }
      if (stopped_) return;
    }
    return;
  }
  int size = 1 << (member & 3);
  bool write = (member >= 8 && member < 12) || member >= 16;
  uint32_t address = a[2];
  uint64_t value = Join(a[4], size == 8 ? a[5] : 0) & (~0ull >> (64 - 8 * size));
  call.arguments = std::string(io ? "Port " : "Address ") + Hex(address, io ? 4 : 8) +
                   (write ? ", Data " + Hex(value, size * 2) : "");
  if (io)
    call.in.AddNumber("Port", address);
  else
    call.in.AddPointer("Address", address, Where(address));
  if (write) call.in.AddNumber("Data", value);
  if (!options_.ioPpis) {
    // The core's default members read 0 and write nothing (PeiDefaultIoRead8
    // and the others).
    if (!write) {
      call.status = call.statusHigh = 0;
      call.returns64 = size == 8;
      call.results = "Data = " + Hex(0, size * 2) + " (the PEI core's default CpuIo PPI)";
      call.out.AddNumber("Data", 0);
    }
    return;
  }
  if (a[3] != 0 || (io && address > 0xFFFF)) {
    call.status = kEfiInvalidParameter;
    return;
  }
  uint64_t v = ServiceAccess(io, write, address, size, value, eip);
  if (!write) {
    // The value read is the result: EAX, and EDX for 64 bits.
    call.status = uint32_t(v);
    call.statusHigh = uint32_t(v >> 32);
    call.returns64 = size == 8;
    call.results = "Data = " + Hex(v, size * 2);
    call.out.AddNumber("Data", v);
  }
}

void Platform::DoPciCfg(ServiceCall &call, int member) {
  // Read/Write(PeiServices, This, Width, Address, Buffer);
  // Modify(PeiServices, This, Width, Address, SetBits, ClearBits).
  uint32_t eip = CallSite(Read32(CurrentEsp()));
  const uint32_t *a = call.args;
  uint32_t width = a[2];
  uint64_t address = Join(a[3], a[4]);
  uint32_t reg = uint32_t(address & 0xFF), fn = uint32_t(address >> 8 & 0xFF),
           dev = uint32_t(address >> 16 & 0xFF), bus = uint32_t(address >> 24 & 0xFF);
  uint32_t extended = uint32_t(address >> 32);
  char bdf[24];
  snprintf(bdf, sizeof bdf, "%02X:%02X.%X+0x%02X", bus, dev, fn, extended ? extended : reg);
  call.arguments = "Width " + std::to_string(width) + ", " + bdf;
  call.in.AddNumber("Width", width).AddNumber("Address", address).AddText("Register", bdf);
  if (member == 2)
    call.in.AddPointer("SetBits", a[5], Where(a[5])).AddPointer("ClearBits", a[6], Where(a[6]));
  else
    call.in.AddPointer("Buffer", a[5], Where(a[5]));
  call.status = ServiceStatus(call.name, kEfiSuccess, call.injected);
  if (call.injected) return;
  if (!options_.ioPpis) {
    // The PEI core's own PciCfg (PeiDefaultPciCfg2Read and the others).
    call.status = kEfiNotAvailableYet;
    call.results = "the PEI core's default PciCfg PPI";
    return;
  }
  int size = 1 << (width & 3);
  if (width > 3 || dev > 31 || fn > 7 || (extended ? extended : reg) % uint32_t(size) != 0) {
    call.status = kEfiInvalidParameter;
    return;
  }
  if (extended >= 0x100) {
    // Configuration mechanism #1 reaches the first 256 bytes only.
    call.status = kEfiUnsupported;
    call.results = "extended register beyond mechanism #1's 256 bytes";
    return;
  }
  if (extended) reg = extended;
  auto access = [&](bool write, uint32_t offset, int n, uint32_t value) {
    uint32_t cf8 = kConfigEnable | bus << 16 | dev << 11 | fn << 8 | (offset & 0xFC);
    PortAccess(true, kConfigAddressPort, 4, cf8, eip);
    return PortAccess(write, uint16_t(kConfigDataPort + (offset & 3)), n, value, eip);
  };
  auto rw = [&](bool write, uint64_t value) -> uint64_t {
    if (size == 8)
      return access(write, reg, 4, uint32_t(value)) |
             uint64_t(access(write, reg + 4, 4, uint32_t(value >> 32))) << 32;
    return access(write, reg, size, uint32_t(value));
  };
  uint64_t v = 0;
  if (member == 0) {
    v = rw(false, 0);
    if (!ServiceOutput(call, a[5], &v, size_t(size), "Buffer"))
      call.status = kEfiInvalidParameter;
    else
      call.out.AddNumber("Data", v);
    call.results = "Data = " + Hex(v, size * 2);
    return;
  }
  uint64_t set = 0, clear = 0;
  if (!Read(a[5], &set, size_t(size)) || (member == 2 && !Read(a[6], &clear, size_t(size)))) {
    AddViolation("service-argument", call.name + " was given a buffer it cannot read");
    call.status = kEfiInvalidParameter;
    return;
  }
  v = member == 1 ? set : (rw(false, 0) & ~clear) | set;
  rw(true, v);
  call.results = "Data := " + Hex(v, size * 2);
  call.out.AddNumber("Data", v);
}

}  // namespace peimsim
