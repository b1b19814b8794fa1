#include "platform.h"

#include <sys/mman.h>
#include <unicorn/unicorn.h>

#include <algorithm>
#include <cstring>

#include "x86_length.h"

namespace peimsim {
namespace {

constexpr uint32_t kServiceStride = 16;
constexpr int kStallEntry = kServiceSlots;  // service page entry of the Stall PPI's Stall
constexpr uint32_t kServiceEntriesEnd = kFoundationCode + (kStallEntry + 1) * kServiceStride;
constexpr uint32_t kDirectionFlag = 0x400;
constexpr uint32_t kMaxPpiDescriptors = 64;
constexpr uint32_t kDescriptorsShown = 4;
constexpr uint32_t kCallerSentinelType = 0xC1C1C1C1;
constexpr uint32_t kCallerSentinelBase = 0xC2C2C2C2;
constexpr uint32_t kScratchStart = 0x2545F491u;  // fixed, so that runs repeat exactly

uint8_t *MapHost(size_t size) {
  void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                 -1, 0);
  return p == MAP_FAILED ? nullptr : static_cast<uint8_t *>(p);
}

bool Overlaps(uint64_t a, uint64_t aEnd, uint64_t b, uint64_t bEnd) { return a < bEnd && b < aEnd; }

std::string Bytes(int size) { return std::to_string(size) + (size == 1 ? " byte" : " bytes"); }

// Byte-wise read of a little-endian value from a buffer.
uint32_t Get32(const uint8_t *p) { return uint32_t(p[0]) | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }

}  // namespace

struct Hooks {
  static Platform *P(void *user) { return static_cast<Platform *>(user); }
  static void Memory(uc_engine *, uc_mem_type type, uint64_t address, int size, int64_t value,
                     void *user) {
    P(user)->OnMemory(type == UC_MEM_WRITE, uint32_t(address), size, uint64_t(value));
  }
  static uint32_t PortIn(uc_engine *, uint32_t port, int size, void *user) {
    uint32_t value = 0;
    P(user)->OnPortIn(uint16_t(port), size, value);
    return value;
  }
  static void PortOut(uc_engine *, uint32_t port, int size, uint32_t value, void *user) {
    P(user)->OnPortOut(uint16_t(port), size, value);
  }
  static void Service(uc_engine *, uint64_t address, uint32_t, void *user) {
    P(user)->OnService(uint32_t(address));
  }
  static void Block(uc_engine *, uint64_t address, uint32_t size, void *user) {
    P(user)->OnBlock(uint32_t(address), size);
  }
  static bool Invalid(uc_engine *, uc_mem_type type, uint64_t address, int size, int64_t,
                      void *user) {
    const char *what = "access";
    switch (type) {
      case UC_MEM_READ_UNMAPPED: what = "read-unmapped"; break;
      case UC_MEM_WRITE_UNMAPPED: what = "write-unmapped"; break;
      case UC_MEM_FETCH_UNMAPPED: what = "fetch-unmapped"; break;
      case UC_MEM_WRITE_PROT: what = "write-prot"; break;
      case UC_MEM_READ_PROT: what = "read-prot"; break;
      case UC_MEM_FETCH_PROT: what = "fetch-prot"; break;
      default: break;
    }
    P(user)->OnFault(what, uint32_t(address), size);
    return false;
  }
  static void Interrupt(uc_engine *, uint32_t number, void *user) { P(user)->OnInterrupt(number); }
  static void Instruction(uc_engine *, uint64_t, uint32_t, void *user) { P(user)->oneByOne_++; }
  static bool InvalidInstruction(uc_engine *, void *user) {
    P(user)->OnInterrupt(6);
    return false;
  }
};

Platform::Platform() : scratch_(kScratchStart) {}

Platform::~Platform() {
  if (uc_) uc_close(uc_);
  if (ram_) munmap(ram_, kRamEnd);
  if (devices_) munmap(devices_, kDeviceWindowEnd - kDeviceWindowBase);
  if (imageMemory_) munmap(imageMemory_, imageMapSize_);
}

bool Platform::Load(const pe::Image &image, const PlatformOptions &options, std::string &error) {
  if (uc_) {
    error = "platform already holds an image";
    return false;
  }
  if (image.machine != pe::kMachineI386) {
    error = "not an IA-32 image (machine " + Hex(image.machine, 4) + ", expected 0x014C)";
    return false;
  }
  if (image.directories[pe::kDirImport].size != 0 || image.directories[pe::kDirIat].size != 0) {
    error = "image has an import table; a PEI module must not import anything";
    return false;
  }
  if (image.sizeOfImage == 0 || image.sizeOfImage > 0x01000000) {
    error = "unusable SizeOfImage " + Hex(image.sizeOfImage);
    return false;
  }
  const pe::Section *entry = image.SectionAt(image.entryRva);
  if (!entry || !(entry->characteristics & pe::kScnMemExecute)) {
    error = "entry point RVA " + Hex(image.entryRva) + " is not in an executable section";
    return false;
  }
  uint32_t base = options.loadAddress;
  uint64_t end = uint64_t(base) + image.sizeOfImage;
  if (image.sectionAlignment > 1 && base % image.sectionAlignment != 0) {
    error = "load address " + Hex(base, 8) + " is not a multiple of the section alignment " +
            Hex(image.sectionAlignment);
    return false;
  }
  uint64_t mapBase = base & ~uint64_t(kPageSize - 1);
  uint64_t mapEnd = (end + kPageSize - 1) & ~uint64_t(kPageSize - 1);
  if (end > 0x100000000ull) {
    error = "image at " + Hex(base, 8) + " would run past 4 GiB";
    return false;
  }
  if (Overlaps(mapBase, mapEnd, 0, kRamEnd) ||
      Overlaps(mapBase, mapEnd, kDeviceWindowBase, kDeviceWindowEnd)) {
    error = "load address " + Hex(base, 8) +
            " overlaps the platform's RAM (below 0x01000000) or device window "
            "(0xC0000000-0xFEFFFFFF)";
    return false;
  }
  if (base != image.imageBase &&
      ((image.fileCharacteristics & pe::kFileRelocsStripped) ||
       image.directories[pe::kDirBaseReloc].size == 0)) {
    error = "image has no relocations, so it cannot run at " + Hex(base, 8) +
            " (preferred base " + Hex(image.imageBase, 8) + ")";
    return false;
  }
  std::vector<uint8_t> layout = pe::MemoryLayout(image);
  if (!pe::RelocateLayout(image, layout, base, error)) {
    error = "cannot relocate to " + Hex(base, 8) + ": " + error;
    return false;
  }

  image_ = image;
  options_ = options;
  // The chipset's initial contents.
  initialChipset_ = Chipset();
  if (options.randomize) initialChipset_.Randomize(options.randomizeStart);
  for (const RegisterPreset &p : options.presets) {
    bool ok = p.space == RegisterPreset::kConfig
                  ? initialChipset_.SetConfig(p.bdf, p.address, p.width, p.value, error)
              : p.space == RegisterPreset::kFunctionMemory
                  ? initialChipset_.SetFunctionRegister(p.bdf, p.address, p.width, p.value, error)
                  : initialChipset_.SetChipsetRegister(p.address, p.width, p.value, error);
    if (!ok) return false;
  }

  if (uc_open(UC_ARCH_X86, UC_MODE_32, &uc_) != UC_ERR_OK) {
    uc_ = nullptr;
    error = "cannot start the CPU emulator";
    return false;
  }
  imageMapBase_ = uint32_t(mapBase);
  imageMapSize_ = uint32_t(mapEnd - mapBase);
  imageMemory_ = MapHost(imageMapSize_);
  if (!imageMemory_) {
    error = "cannot reserve host memory for the image";
    return false;
  }
  memcpy(imageMemory_ + (base - mapBase), layout.data(), layout.size());
  if (!MapMemory(error)) return false;
  uc_reg_read(uc_, UC_X86_REG_CR0, &cr0_);
  uc_reg_read(uc_, UC_X86_REG_CR3, &cr3_);
  uc_reg_read(uc_, UC_X86_REG_CR4, &cr4_);
  BuildFoundation();
  chipset_ = initialChipset_;
  Reset();
  return true;
}

bool Platform::MapMemory(std::string &error) {
  ram_ = MapHost(kRamEnd);
  devices_ = MapHost(kDeviceWindowEnd - kDeviceWindowBase);
  if (!ram_ || !devices_) {
    error = "cannot reserve host memory for the platform";
    return false;
  }
  memset(ram_ + kRamBase, kUninitialisedByte, kRamEnd - kRamBase);
  memset(ram_ + kFoundationCode, 0xCC, kPageSize);  // int3 everywhere
  dirty_.assign(kRamEnd / kPageSize, 0);
  const uint32_t rw = UC_PROT_READ | UC_PROT_WRITE, rx = UC_PROT_READ | UC_PROT_EXEC;
  uc_err e = uc_mem_map_ptr(uc_, kRamBase, kFoundationCode - kRamBase, rw, ram_ + kRamBase);
  if (!e) e = uc_mem_map_ptr(uc_, kFoundationCode, kPageSize, rx, ram_ + kFoundationCode);
  if (!e)
    e = uc_mem_map_ptr(uc_, kFoundationCode + kPageSize, kRamEnd - kFoundationCode - kPageSize, rw,
                       ram_ + kFoundationCode + kPageSize);
  if (!e) e = uc_mem_map_ptr(uc_, kDeviceWindowBase, kDeviceWindowEnd - kDeviceWindowBase, rw, devices_);
  if (!e) e = uc_mem_map_ptr(uc_, imageMapBase_, imageMapSize_, rx, imageMemory_);
  uc_hook h;
  if (!e) e = uc_hook_add(uc_, &h, UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE, (void *)Hooks::Memory, this, 1, 0);
  if (!e) e = uc_hook_add(uc_, &h, UC_HOOK_INSN, (void *)Hooks::PortIn, this, 1, 0, UC_X86_INS_IN);
  if (!e) e = uc_hook_add(uc_, &h, UC_HOOK_INSN, (void *)Hooks::PortOut, this, 1, 0, UC_X86_INS_OUT);
  if (!e)
    e = uc_hook_add(uc_, &h, UC_HOOK_CODE, (void *)Hooks::Service, this, kFoundationCode,
                    kServiceEntriesEnd - 1);
  if (!e)
    e = uc_hook_add(uc_, &h, UC_HOOK_BLOCK, (void *)Hooks::Block, this, LoadAddress(),
                    uint64_t(ImageEnd() - 1));
  if (!e && options_.countEachInstruction)
    e = uc_hook_add(uc_, &h, UC_HOOK_CODE, (void *)Hooks::Instruction, this, LoadAddress(),
                    uint64_t(ImageEnd() - 1));
  if (!e) e = uc_hook_add(uc_, &h, UC_HOOK_MEM_INVALID, (void *)Hooks::Invalid, this, 1, 0);
  if (!e) e = uc_hook_add(uc_, &h, UC_HOOK_INTR, (void *)Hooks::Interrupt, this, 1, 0);
  if (!e) e = uc_hook_add(uc_, &h, UC_HOOK_INSN_INVALID, (void *)Hooks::InvalidInstruction, this, 1, 0);
  if (e) {
    error = std::string("cannot set up the emulated platform: ") + uc_strerror(e);
    return false;
  }
  return true;
}

void Platform::BuildFoundation() {
  uint8_t *page = ram_ + kFoundationData;
  memset(page, 0, kPageSize);
  auto put32 = [&](uint32_t address, uint32_t v) { memcpy(page + (address - kFoundationData), &v, 4); };
  put32(kPeiServicesCell, kPeiServicesTable);
  // EFI_TABLE_HEADER: "PEI SERV", revision 1.70, header size = whole table.
  uint64_t signature = 0x5652455320494550ull;
  memcpy(page + (kPeiServicesTable - kFoundationData), &signature, 8);
  put32(kPeiServicesTable + 8, 0x00010046);
  put32(kPeiServicesTable + 12, 24 + 4 * kServiceSlots);
  for (int slot = 0; slot < kServiceSlots; slot++)
    put32(kPeiServicesTable + 24 + 4 * slot, kFoundationCode + slot * kServiceStride);
  put32(kStallPpi, 1);  // Resolution: 1 us
  put32(kStallPpi + 4, kFoundationCode + kStallEntry * kServiceStride);
  memcpy(page + (kStallPpiGuidAddress - kFoundationData), kStallPpiGuid.data(), 16);
  put32(kStallPpiDescriptor, 0x80000010);
  put32(kStallPpiDescriptor + 4, kStallPpiGuidAddress);
  put32(kStallPpiDescriptor + 8, kStallPpi);
  foundationPage_.assign(page, page + kPageSize);

  initialPpis_.clear();
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

void Platform::Reset() {
  for (uint32_t page : dirtyList_) {
    uint32_t address = page * kPageSize;
    if (address == kFoundationData)
      memcpy(ram_ + address, foundationPage_.data(), kPageSize);
    else
      memset(ram_ + address, kUninitialisedByte, kPageSize);
    dirty_[page] = 0;
  }
  dirtyList_.clear();
  chipset_ = initialChipset_;
  ppis_ = initialPpis_;
  allocations_.clear();
  poolNext_ = kPoolBase + kPoolPages * kPageSize;
  events_.clear();
  services_.clear();
  violations_.clear();
  stalls_.clear();
  stallCalls_ = stalledUs_ = 0;
  for (EventCounts &c : counts_) c = EventCounts();
  droppedEvents_ = 0;
  serviceCalls_.assign(kServiceSlots + 1, 0);
  watches_.clear();
  outputs_.clear();
  entryInstructions_ = 0;
  oneByOne_ = 0;
  scratch_ = std::mt19937(kScratchStart);
}

void Platform::MarkDirty(uint32_t address, uint32_t size) {
  uint64_t end = std::min<uint64_t>(uint64_t(address) + size, kRamEnd);
  for (uint64_t page = address / kPageSize; page * kPageSize < end; page++) {
    if (!dirty_[page]) {
      dirty_[page] = 1;
      dirtyList_.push_back(uint32_t(page));
    }
  }
}

uint8_t *Platform::Host(uint32_t address, uint32_t size) const {
  uint64_t end = uint64_t(address) + size;
  if (address >= kRamBase && end <= kRamEnd) return ram_ + address;
  if (address >= kDeviceWindowBase && end <= kDeviceWindowEnd) return devices_ + (address - kDeviceWindowBase);
  if (address >= imageMapBase_ && end <= imageMapBase_ + uint64_t(imageMapSize_))
    return imageMemory_ + (address - imageMapBase_);
  return nullptr;
}

bool Platform::Read(uint32_t address, void *data, size_t size) const {
  const uint8_t *p = Host(address, uint32_t(size));
  if (!p) return false;
  memcpy(data, p, size);
  return true;
}

uint32_t Platform::Read32(uint32_t address) const {
  uint32_t v = 0;
  Read(address, &v, 4);
  return v;
}

bool Platform::Write(uint32_t address, const void *data, size_t size) {
  uint8_t *p = Host(address, uint32_t(size));
  if (!p || !(address >= kRamBase && address + size <= kRamEnd)) return false;
  HostWrite(address, data, size);
  return true;
}

void Platform::HostWrite(uint32_t address, const void *data, size_t size) {
  memcpy(ram_ + address, data, size);
  MarkDirty(address, uint32_t(size));
}

void Platform::WatchWrites(uint32_t address, uint32_t size) { watches_.push_back({address, size}); }

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

uint32_t Platform::CurrentEip() const {
  uint32_t eip = 0;
  uc_reg_read(uc_, UC_X86_REG_EIP, &eip);
  return eip;
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

// ---- Hooks -----------------------------------------------------------------

void Platform::OnMemory(bool write, uint32_t address, int size, uint64_t value) {
  if (!write && splitReadsToSkip_ > 0) {  // the halves of a page-straddling read
    splitReadsToSkip_--;
    return;
  }
  if ((address & (kPageSize - 1)) + uint32_t(size) > kPageSize) {
    AddViolation("straddles-page", Bytes(size) + (write ? " write" : " read") + " at " +
                                       Hex(address, 8) + " (" + Where(address) +
                                       ") straddles a page boundary");
    if (!write) splitReadsToSkip_ = 2;
  }
  if (address >= kDeviceWindowBase && address < kDeviceWindowEnd) {
    Event e;
    e.kind = EventKind::kMemory;
    e.phase = phase_;
    e.write = write;
    e.width = uint8_t(size * 8);
    e.address = address;
    e.eip = CurrentEip();
    e.target = chipset_.DecodeMemory(address, size);
    if (write) {
      e.value = value;
      chipset_.MemoryWrite(e.target, size, value);
    } else {
      e.value = chipset_.MemoryRead(e.target, size);
      uint32_t n = uint32_t(std::min<uint64_t>(size, kDeviceWindowEnd - address));
      memcpy(devices_ + (address - kDeviceWindowBase), &e.value, n);
    }
    Record(e);
    if (!e.target.claimed)
      AddViolation("unclaimed-mmio", std::string(write ? "write" : "read") + " of " + Bytes(size) +
                                         " at " + Hex(address, 8) +
                                         ", which no device claims");
    if (phase_ == Phase::kConsumer)
      AddViolation("consumer-hardware", "GetUsbController touched memory-mapped address " +
                                            Hex(address, 8));
    return;
  }
  if (!write || address >= kRamEnd) return;  // reads of RAM and the image are free
  MarkDirty(address, uint32_t(size));
  if (!WritableByModule(address, uint32_t(size)))
    AddViolation("write-outside", Bytes(size) + " write at " + Hex(address, 8) + " (" +
                                      Where(address) +
                                      "), outside the stack, the module's pages and its outputs");
  for (const auto &w : watches_) {
    if (address >= w.first && uint64_t(address) < uint64_t(w.first) + w.second) {
      Event e;
      e.kind = EventKind::kRamWrite;
      e.phase = phase_;
      e.write = true;
      e.width = uint8_t(size * 8);
      e.address = address;
      e.value = value;
      e.eip = CurrentEip();
      Record(e);
      break;
    }
  }
}

void Platform::OnPortIn(uint16_t port, int size, uint32_t &value) {
  Event e;
  e.kind = EventKind::kPort;
  e.phase = phase_;
  e.width = uint8_t(size * 8);
  e.address = port;
  e.eip = PortInstruction();
  PortResult r;
  value = chipset_.PortRead(port, size, r);
  e.value = value;
  e.portKind = r.kind;
  e.configAddress = r.configAddress;
  e.target = r.target;
  Record(e);
  CheckPort(e);
}

void Platform::OnPortOut(uint16_t port, int size, uint32_t value) {
  Event e;
  e.kind = EventKind::kPort;
  e.phase = phase_;
  e.write = true;
  e.width = uint8_t(size * 8);
  e.address = port;
  e.value = value;
  e.eip = PortInstruction();
  PortResult r;
  chipset_.PortWrite(port, size, value, r);
  e.portKind = r.kind;
  e.configAddress = r.configAddress;
  e.target = r.target;
  Record(e);
  CheckPort(e);
}

void Platform::CheckPort(const Event &e) {
  // Named only for a violation: this runs on every port access.
  auto access = [&] {
    return std::to_string(e.width) + "-bit " + (e.write ? "OUT to" : "IN from") + " port " +
           Hex(e.address, 4);
  };
  switch (e.portKind) {
    case PortKind::kConfigAddress: break;
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

void Platform::OnBlock(uint32_t address, uint32_t size) {
  uint64_t key = uint64_t(address) << 16 | (size & 0xFFFF);
  auto it = blocks_.find(key);
  if (it == blocks_.end()) {
    Block b;
    uc_tb tb{};
    b.instructions = uc_ctl_request_cache(uc_, uint64_t(address), &tb) == UC_ERR_OK ? tb.icount : 1;
    // Memory hooks see the address of the instruction making the access;
    // port hooks do not, so note where the block's port instructions are.
    const uint8_t *code = Host(address, size);
    for (uint32_t at = 0; code && at < size;) {
      X86Instruction insn = DecodeX86(code + at, size - at);
      if (insn.length == 0) break;
      if (insn.port) b.ports.push_back(address + at);
      if (insn.system && !b.system) {
        b.system = insn.system;
        b.systemAt = address + at;
      }
      at += insn.length;
    }
    it = blocks_.emplace(key, std::move(b)).first;
  }
  block_ = &it->second;
  blockPorts_ = 0;
  instructions_ += block_->instructions;
  if (instructions_ > options_.budget && !stopped_) {
    AddViolation("budget", "still running after " + std::to_string(options_.budget) +
                               " instructions (the instruction budget)");
    stopped_ = true;
    uc_emu_stop(uc_);
  }
  // Stopping here keeps the whole block from running: the instruction never
  // changes the processor's state, and no access after it is made under a
  // view of memory that the checks do not share.
  if (block_->system && !stopped_) {
    AddViolationAt("processor-control",
                   std::string(block_->system) +
                       ": changes the processor's mode, paging, tables or MSRs, which belong "
                       "to the platform; the run stops before it",
                   block_->systemAt);
    stopped_ = true;
    uc_emu_stop(uc_);
  }
}

void Platform::CheckControlRegisters() {
  // An instruction the decoder did not see through (the block check above
  // names the ones it finds) may still have changed them: report it, and
  // put them back so that the next call starts from the platform's state.
  static const struct {
    int reg;
    const char *name;
  } kRegisters[] = {{UC_X86_REG_CR0, "CR0"}, {UC_X86_REG_CR3, "CR3"}, {UC_X86_REG_CR4, "CR4"}};
  const uint32_t initial[] = {cr0_, cr3_, cr4_};
  for (int i = 0; i < 3; i++) {
    uint32_t now = 0;
    uc_reg_read(uc_, kRegisters[i].reg, &now);
    if (now == initial[i]) continue;
    AddViolation("processor-control", std::string(kRegisters[i].name) + " changed from " +
                                          Hex(initial[i], 8) + " to " + Hex(now, 8),
                 false);
    uint32_t v = initial[i];
    uc_reg_write(uc_, kRegisters[i].reg, &v);
  }
}

uint32_t Platform::PortInstruction() {
  if (!block_ || block_->ports.empty()) return CurrentEip();
  // A block is straight-line code: its n-th port access comes from its n-th
  // port instruction (a REP INS/OUTS block repeats its one instruction).
  return block_->ports[std::min(blockPorts_++, block_->ports.size() - 1)];
}

void Platform::OnFault(const char *what, uint32_t address, int size) {
  std::string w = what;
  std::string at = Hex(address, 8) + " (" + Where(address) + ")";
  if (w == "write-prot")
    AddViolation(InImage(address) ? "write-image" : "write-code",
                 Bytes(size) + " write at " + at + ", which is read+execute only");
  else if (w == "fetch-prot")
    AddViolation("execute-data", "executes at " + at + ", which is not code");
  else
    AddViolation("unmapped", (w == "read-unmapped" ? "read of " : w == "write-unmapped" ? "write of " : "fetch of ") +
                                 Bytes(size) + " at " + at + ", where nothing is mapped");
  stopped_ = true;
}

void Platform::OnInterrupt(uint32_t number) {
  static const char *const kNames[] = {"divide error", "debug", "NMI", "breakpoint (int3)",
                                       "overflow", "bound range", "invalid opcode",
                                       "device not available", "double fault"};
  std::string name = number < 9 ? kNames[number] : "interrupt";
  AddViolation("cpu-exception", "CPU exception/interrupt " + std::to_string(number) + " (" + name +
                                    ") at " + Hex(CurrentEip(), 8) + " (" + Where(CurrentEip()) + ")");
  stopped_ = true;
  uc_emu_stop(uc_);
}

// ---- Calls into the image ----------------------------------------------------

CallOutcome Platform::Call(uint32_t address, const std::vector<uint32_t> &args,
                           const std::vector<std::pair<uint32_t, uint32_t>> &outputs, Phase phase) {
  CallOutcome outcome;
  phase_ = phase;
  outputs_ = outputs;
  stopped_ = false;
  instructions_ = 0;
  splitReadsToSkip_ = 0;

  uint32_t argsAt = (kStackTop - 0x80 - 4 * uint32_t(args.size())) & ~0xFu;
  uint32_t esp = argsAt - 4;
  frameLimit_ = argsAt + 4 * uint32_t(args.size());
  uint32_t trap = kReturnTrap;
  HostWrite(esp, &trap, 4);
  for (size_t i = 0; i < args.size(); i++) HostWrite(argsAt + 4 * uint32_t(i), &args[i], 4);

  static const int kSaved[] = {UC_X86_REG_EBX, UC_X86_REG_ESI, UC_X86_REG_EDI, UC_X86_REG_EBP};
  static const char *const kSavedNames[] = {"EBX", "ESI", "EDI", "EBP"};
  uint32_t saved[4];
  for (int i = 0; i < 4; i++) {
    saved[i] = uint32_t(scratch_());
    uc_reg_write(uc_, kSaved[i], &saved[i]);
  }
  for (int reg : {UC_X86_REG_EAX, UC_X86_REG_ECX, UC_X86_REG_EDX}) {
    uint32_t v = uint32_t(scratch_());
    uc_reg_write(uc_, reg, &v);
  }
  uint32_t eflags = 0x2;  // direction flag clear, interrupts off
  uc_reg_write(uc_, UC_X86_REG_ESP, &esp);
  uc_reg_write(uc_, UC_X86_REG_EFLAGS, &eflags);
  uint8_t fp0[10];
  memcpy(fp0, &mm0, 8);
  fp0[8] = fp0[9] = 0xFF;
  uc_reg_write(uc_, UC_X86_REG_FP0, fp0);
  uint16_t tags = 0xFFFF;  // x87 empty: not in MMX state
  uc_reg_write(uc_, UC_X86_REG_FPTAG, &tags);

  block_ = nullptr;
  uc_err err = uc_emu_start(uc_, address, kReturnTrap, 0, 0);
  outcome.instructions = instructions_;
  uint32_t eip = CurrentEip(), espAfter = 0;
  uc_reg_read(uc_, UC_X86_REG_ESP, &espAfter);
  uc_reg_read(uc_, UC_X86_REG_EAX, &outcome.eax);
  if (err != UC_ERR_OK && !stopped_)
    AddViolation("cpu-fault", std::string("the CPU stopped: ") + uc_strerror(err));
  if (err == UC_ERR_OK && !stopped_ && eip != kReturnTrap)
    AddViolation("no-return", "stopped at " + Hex(eip, 8) + " (" + Where(eip) +
                                  ") without returning to its caller");
  outcome.returned = err == UC_ERR_OK && !stopped_ && eip == kReturnTrap;
  CheckControlRegisters();
  if (outcome.returned) {
    if (espAfter != esp + 4)
      AddViolation("stack-imbalance", "returned with ESP " + Hex(espAfter, 8) + ", expected " +
                                          Hex(esp + 4, 8) + " (cdecl: the caller pops the arguments)",
                   false);
    for (int i = 0; i < 4; i++) {
      uint32_t now = 0;
      uc_reg_read(uc_, kSaved[i], &now);
      if (now != saved[i])
        AddViolation("callee-saved", std::string(kSavedNames[i]) + " not preserved: " +
                                         Hex(saved[i], 8) + " before the call, " + Hex(now, 8) +
                                         " after",
                     false);
    }
    uc_reg_read(uc_, UC_X86_REG_EFLAGS, &eflags);
    if (eflags & kDirectionFlag)
      AddViolation("direction-flag", "returned with the direction flag set", false);
  }
  uc_reg_read(uc_, UC_X86_REG_FP0, fp0);
  memcpy(&mm0After_, fp0, 8);
  if (mm0After_ != mm0)
    AddViolation("mmx-register", "MMX register 0 not preserved: " + Hex(mm0, 16) + " before, " +
                                     Hex(mm0After_, 16) + " after",
                 false);
  uc_reg_read(uc_, UC_X86_REG_FPTAG, &tags);
  if (tags != 0xFFFF)
    AddViolation("mmx-state", "left the x87 unit in MMX state (tag word " + Hex(tags, 4) +
                                  "; EMMS missing)",
                 false);
  outputs_.clear();
  return outcome;
}

CallOutcome Platform::RunEntry() {
  CallOutcome o = Call(LoadAddress() + image_.entryRva, {kFileHandle, kPeiServicesCell}, {},
                       Phase::kEntry);
  entryInstructions_ = o.instructions;
  return o;
}

ConsumerView Platform::QueryConsumer() {
  ConsumerView v;
  v.locateStatus = kEfiNotFound;
  for (const InstalledPpi &p : ppis_) {
    if (p.guid != kUsbControllerPpiGuid) continue;
    v.found = true;
    v.locateStatus = kEfiSuccess;
    v.descriptor = p.descriptor;
    v.flags = p.flags;
    v.guidAddress = p.guidAddress;
    v.ppi = p.ppi;
    break;
  }
  if (!v.found) return v;
  if (!Read(v.ppi, &v.function, 4)) return v;
  const uint32_t typeCell = kCallerData + 0x10, baseCell = kCallerData + 0x14;
  uint32_t ehci = 0, reported = 0;
  for (int i = 0; i < kFunctionCount; i++) ehci += chipset_.Function(i).ehci;
  for (uint32_t id = 0; id < 256; id++) {
    HostWrite(typeCell, &kCallerSentinelType, 4);
    HostWrite(baseCell, &kCallerSentinelBase, 4);
    CallOutcome o = Call(v.function, {kPeiServicesCell, v.ppi, kIdSlotFill | id, typeCell, baseCell},
                         {{typeCell, 4}, {baseCell, 4}}, Phase::kConsumer);
    ConsumerQuery q;
    q.id = id;
    q.status = o.eax;
    q.returned = o.returned;
    q.type = Read32(typeCell);
    q.base = Read32(baseCell);
    q.typeWritten = q.type != kCallerSentinelType;
    q.baseWritten = q.base != kCallerSentinelBase;
    v.queries.push_back(q);
    if (!o.returned || (q.status & kErrorBit)) break;
    // A consumer goes on to use what a successful call handed back.
    std::string call = "GetUsbController (Id " + std::to_string(id) + ")";
    if (!q.typeWritten || !q.baseWritten) {
      AddViolation("consumer-outputs",
                   call + " returned " + StatusName(q.status) + " without writing " +
                       (!q.typeWritten && !q.baseWritten ? "ControllerType and BaseAddress"
                        : !q.typeWritten                 ? "ControllerType"
                                                         : "BaseAddress"),
                   false);
      break;
    }
    if (++reported > ehci) {
      AddViolation("consumer-count", call + " reported a controller, but the platform has " +
                                         std::to_string(ehci) + " EHCI controllers",
                   false);
      break;
    }
  }
  return v;
}

// ---- The PEI Foundation ----------------------------------------------------------

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
  int slot = name == "Stall" ? kStallEntry : ServiceSlotFromName(name);
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
  if (!WritableByModule(address, uint32_t(size)) || !(address >= kRamBase && address + size <= kRamEnd)) {
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
  call.name = entry == kStallEntry ? "Stall" : ServiceSlotName(entry);
  if (!readable || address % kServiceStride != 0) {
    AddViolation("service-entry", "jumped into the PEI Foundation at " + Hex(address, 8));
    stopped_ = true;
    uc_emu_stop(uc_);
    return;
  }
  uint32_t eflags = 0;
  uc_reg_read(uc_, UC_X86_REG_EFLAGS, &eflags);
  if (eflags & kDirectionFlag)
    AddViolation("direction-flag", "called " + call.name + " with the direction flag set");
  if (call.args[0] != kPeiServicesCell)
    AddViolation("service-argument", "called " + call.name + " with PeiServices " +
                                         Hex(call.args[0], 8) + ", not the pointer it was given (" +
                                         Hex(kPeiServicesCell, 8) + ")");

  if (call.name == "GetBootMode") DoGetBootMode(call);
  else if (call.name == "LocatePpi") DoLocatePpi(call);
  else if (call.name == "AllocatePages") DoAllocatePages(call);
  else if (call.name == "InstallPpi") DoInstallPpi(call);
  else if (call.name == "Stall") DoStall(call);
  else {
    call.expected = false;
    call.status = kEfiUnsupported;
    AddViolation("unexpected-service", "called PEI service " + call.name +
                                           ", which this module has no reason to use");
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
  if (Record(e)) {
    services_.push_back(call);
    if (stalled) stalls_.push_back(call.args[2]);
  }

  // Return to the caller as a cdecl function does; the scratch registers
  // come back with garbage, as they may from a real Foundation.
  uint32_t ecx = uint32_t(scratch_()), edx = uint32_t(scratch_());
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
  call.status = ServiceStatus(call.name, kEfiSuccess, call.injected);
  if (call.injected) return;
  uint32_t mode = options_.bootMode;
  if (!ServiceOutput(call, out, &mode, 4, "BootMode")) {
    call.status = kEfiInvalidParameter;
    return;
  }
  std::string name = BootModeName(mode);
  call.results = "BootMode = " + Hex(mode, 2) + (name.empty() ? "" : " " + name);
}

void Platform::DoLocatePpi(ServiceCall &call) {
  uint32_t guidAt = call.args[1], instance = call.args[2], descOut = call.args[3],
           ppiOut = call.args[4];
  Guid guid{};
  bool haveGuid = guidAt != 0 && Read(guidAt, guid.data(), 16);
  call.arguments = (haveGuid ? GuidName(guid) : "Guid " + Hex(guidAt, 8) + " (unreadable)") +
                ", Instance " + std::to_string(instance) + ", Descriptor " +
                (descOut ? "-> " + Where(descOut) : std::string("NULL")) + ", Ppi -> " + Where(ppiOut);
  call.status = ServiceStatus(call.name, kEfiSuccess, call.injected);
  if (call.injected) return;
  if (!haveGuid || ppiOut == 0) {
    if (!haveGuid) AddViolation("service-argument", "LocatePpi was given an unreadable GUID pointer");
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
    if (!ServiceOutput(call, ppiOut, &p.ppi, 4, "Ppi")) {
      call.status = kEfiInvalidParameter;
      return;
    }
    call.results = "Ppi = " + Hex(p.ppi, 8) + (p.ppi == kStallPpi ? " (Stall PPI)" : "");
    return;
  }
  call.status = kEfiNotFound;
}

void Platform::DoAllocatePages(ServiceCall &call) {
  uint32_t type = call.args[1], pages = call.args[2], out = call.args[3];
  std::string typeName = MemoryTypeName(type);
  call.arguments = (typeName.empty() ? "MemoryType " + std::to_string(type) : typeName) + ", " +
                std::to_string(pages) + (pages == 1 ? " page" : " pages") + ", Memory -> " + Where(out);
  call.status = ServiceStatus(call.name, kEfiSuccess, call.injected);
  if (call.injected) return;
  static const uint32_t kAllowed[] = {0, 1, 2, 3, 4, 5, 6, 9, 10};
  if (std::find(std::begin(kAllowed), std::end(kAllowed), type) == std::end(kAllowed) || pages == 0) {
    call.status = kEfiInvalidParameter;
    return;
  }
  if (pages > (poolNext_ - kPoolBase) / kPageSize) {
    call.status = kEfiOutOfResources;
    return;
  }
  uint64_t memory = poolNext_ - pages * kPageSize;
  if (!ServiceOutput(call, out, &memory, 8, "Memory")) {
    call.status = kEfiInvalidParameter;
    return;
  }
  poolNext_ = uint32_t(memory);
  allocations_.push_back({uint32_t(memory), pages, type});
  call.results = "Memory = " + Hex(memory, 8);
}

void Platform::DoInstallPpi(ServiceCall &call) {
  uint32_t list = call.args[1];
  call.arguments = "PpiList " + Hex(list, 8) + " (" + Where(list) + ")";
  call.status = ServiceStatus(call.name, kEfiSuccess, call.injected);
  std::vector<InstalledPpi> found;
  bool terminated = false;
  for (uint32_t i = 0; i < kMaxPpiDescriptors && list != 0; i++) {
    uint32_t at = list + 12 * i;
    uint8_t d[12];
    InstalledPpi p;
    if (!Read(at, d, 12)) {
      AddViolation("service-argument", "InstallPpi: descriptor at " + Hex(at, 8) + " is unreadable");
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
    if (i < kDescriptorsShown)
      call.arguments += std::string(i ? ", " : ": ") + "[Flags " + flags + ", " +
                        (guidOk ? GuidName(p.guid) : "Guid " + Hex(p.guidAddress, 8)) +
                        ", Ppi " + Hex(p.ppi, 8) + " (" + Where(p.ppi) + ")]";
    else if (i == kDescriptorsShown)
      call.arguments += ", ...";
    for (uint32_t where : {at, p.guidAddress, p.ppi}) {
      if (where >= kStackBase && where < kStackTop)
        AddViolation("ppi-on-stack", "InstallPpi: " + Hex(where, 8) +
                                         " lies in the stack, which is gone once the module returns");
      else if (!InImage(where) && !Allocated(where, 1))
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
      AddViolation("service-argument", "InstallPpi: no TERMINATE_LIST flag in the first 64 descriptors");
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
}

void Platform::DoStall(ServiceCall &call) {
  uint32_t self = call.args[1], us = call.args[2];
  call.arguments = std::string("This = ") + (self == kStallPpi ? "Stall PPI" : Hex(self, 8)) + ", " +
                std::to_string(us) + " us";
  if (self != kStallPpi)
    AddViolation("service-argument", "Stall called with This " + Hex(self, 8) + ", not the Stall PPI");
  call.status = ServiceStatus(call.name, kEfiSuccess, call.injected);
}

}  // namespace peimsim
