// The CPU and memory: the emulator engine, the memory map with its host
// backing, loading the image, the hooks that feed the Foundation, the device
// access path and the checks, and calls into the image.
#include <sys/mman.h>
#include <unicorn/unicorn.h>

#include <algorithm>
#include <cstring>

#include "platform.h"
#include "disasm.h"

namespace peimsim {
namespace {

constexpr uint32_t kScratchStart = 0x2545F491u;  // fixed, so that runs repeat exactly

uint8_t *MapHost(size_t size) {
  void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                 -1, 0);
  return p == MAP_FAILED ? nullptr : static_cast<uint8_t *>(p);
}

bool Overlaps(uint64_t a, uint64_t aEnd, uint64_t b, uint64_t bEnd) { return a < bEnd && b < aEnd; }

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
  // The processor model's (--platform q35): CPUID answered, the instruction skipped.
  static int Cpuid(uc_engine *, void *user) {
    P(user)->OnCpuid();
    return 1;
  }
  static void ProcessorInstruction(uc_engine *, uint64_t address, uint32_t, void *user) {
    P(user)->OnProcessorInstruction(uint32_t(address));
  }
};

Platform::Platform() : scratch_(kScratchStart) {}

Platform::~Platform() {
  if (uc_) uc_close(uc_);
  if (ram_) munmap(ram_, kRamEnd);
  if (pristine_) munmap(pristine_, kRamEnd);
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
  // An image with writable data cannot run from flash: it goes to RAM, as a
  // Foundation loads such a PEIM after memory, unless placed explicitly.
  bool writable = false;
  for (const pe::Section &s : image.sections)
    writable |= (s.characteristics & pe::kScnMemWrite) != 0;
  if (writable && base == kDefaultLoadAddress) base = kRamImageBase;
  bool inRam = base >= kRamImageBase && base < kRamImageEnd;
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
  if (inRam ? mapEnd > kRamImageEnd
            : Overlaps(mapBase, mapEnd, 0, kRamEnd) ||
                  Overlaps(mapBase, mapEnd, kDeviceWindowBase, kDeviceWindowEnd)) {
    error = "load address " + Hex(base, 8) +
            " overlaps the platform's RAM (below 0x01000000; images load in RAM at " +
            Hex(kRamImageBase, 8) + "-" + Hex(kRamImageEnd - 1, 8) +
            ") or device window (0xC0000000-0xFEFFFFFF)";
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
  options_.loadAddress = base;
  imageInRam_ = inRam;
  // The chipset's initial contents.
  initialChipset_ = options.description ? Chipset(*options.description) : Chipset();
  if (options.randomize) initialChipset_.Randomize(options.randomizeStart);
  for (const RegisterPreset &p : options.presets) {
    bool ok = p.space == RegisterPreset::kConfig
                  ? initialChipset_.SetConfig(p.bdf, p.address, p.width, p.value, error)
              : p.space == RegisterPreset::kFunctionMemory
                  ? initialChipset_.SetFunctionRegister(p.bdf, p.address, p.width, p.value, error)
                  : initialChipset_.SetChipsetRegister(p.address, p.width, p.value, error);
    if (!ok) return false;
  }
  // A device model's DMA reaches RAM, through the path that lets Reset put
  // it back.
  initialChipset_.SetGuestMemory([this](uint32_t address, void *data, uint32_t size, bool write) {
    if (address < kRamBase || uint64_t(address) + size > kRamEnd) return false;
    return write ? Write(address, data, size) : Read(address, data, size);
  });


  if (uc_open(UC_ARCH_X86, UC_MODE_32, &uc_) != UC_ERR_OK) {
    uc_ = nullptr;
    error = "cannot start the CPU emulator";
    return false;
  }
  imageMapBase_ = uint32_t(mapBase);
  imageMapSize_ = uint32_t(mapEnd - mapBase);
  if (!inRam) {
    imageMemory_ = MapHost(imageMapSize_);
    if (!imageMemory_) {
      error = "cannot reserve host memory for the image";
      return false;
    }
    memcpy(imageMemory_ + (base - mapBase), layout.data(), layout.size());
  }
  if (!MapMemory(error)) return false;
  if (inRam) {
    memcpy(ram_ + base, layout.data(), layout.size());
    KeepPages(imageMapBase_, imageMapSize_);
    ramImageNext_ = imageMapBase_ + imageMapSize_;
  }
  // The IDT the services pointer sits below (PI IA-32 binding).
  uc_x86_mmr idtr{};
  idtr.base = kIdtBase;
  idtr.limit = kIdtLimit;
  if (uc_reg_write(uc_, UC_X86_REG_IDTR, &idtr) != UC_ERR_OK) {
    error = "cannot load the IDT register";
    return false;
  }
  uc_reg_read(uc_, UC_X86_REG_CR0, &cr0_);
  uc_reg_read(uc_, UC_X86_REG_CR3, &cr3_);
  uc_reg_read(uc_, UC_X86_REG_CR4, &cr4_);
  uc_x86_mmr gdtr{};
  uc_reg_read(uc_, UC_X86_REG_GDTR, &gdtr);
  idtBase_ = uint32_t(idtr.base);
  idtLimit_ = idtr.limit;
  gdtBase_ = uint32_t(gdtr.base);
  gdtLimit_ = gdtr.limit;
  BuildFoundation();
  chipset_ = initialChipset_;
  Reset();
  return true;
}

bool Platform::MapMemory(std::string &error) {
  ram_ = MapHost(kRamEnd);
  pristine_ = MapHost(kRamEnd);
  devices_ = MapHost(kDeviceWindowEnd - kDeviceWindowBase);
  if (!ram_ || !pristine_ || !devices_) {
    error = "cannot reserve host memory for the platform";
    return false;
  }
  memset(ram_ + kRamBase, kUninitialisedByte, kRamEnd - kRamBase);
  memset(ram_ + kFoundationCode, 0xCC, kPageSize);  // int3 everywhere
  dirty_.assign(kRamEnd / kPageSize, 0);
  kept_.assign(kRamEnd / kPageSize, 0);
  codeWrites_.assign((kRamImageEnd - kRamImageBase) / kPageSize, 0);
  const uint32_t rw = UC_PROT_READ | UC_PROT_WRITE, rx = UC_PROT_READ | UC_PROT_EXEC;
  auto mapRam = [&](uint32_t from, uint32_t to, uint32_t prot) {
    return from < to ? uc_mem_map_ptr(uc_, from, to - from, prot, ram_ + from) : UC_ERR_OK;
  };
  // RAM never executes, except the Foundation's entries and an image loaded
  // in RAM.
  uint32_t ramCode = imageInRam_ ? imageMapBase_ : kRamEnd;
  uint32_t ramCodeEnd = imageInRam_ ? imageMapBase_ + imageMapSize_ : kRamEnd;
  uc_err e = mapRam(kRamBase, kFoundationCode, rw);
  if (!e) e = mapRam(kFoundationCode, kFoundationCode + kPageSize, rx);
  if (!e) e = mapRam(kFoundationCode + kPageSize, ramCode, rw);
  if (!e) e = mapRam(ramCode, ramCodeEnd, rw | UC_PROT_EXEC);
  if (!e) e = mapRam(ramCodeEnd, kRamEnd, rw);
  if (!e)
    e = uc_mem_map_ptr(uc_, kDeviceWindowBase, kDeviceWindowEnd - kDeviceWindowBase, rw, devices_);
  if (!e && !imageInRam_) e = uc_mem_map_ptr(uc_, imageMapBase_, imageMapSize_, rx, imageMemory_);
  if (!e && options_.flash && options_.flash->Size()) {
    // The firmware flash, read-only (its bytes stay the option's).
    const Flash &f = *options_.flash;
    if (!imageInRam_ && Overlaps(imageMapBase_, uint64_t(imageMapBase_) + imageMapSize_, f.Base(),
                                 0x100000000ull)) {
      error = "the image at " + Hex(imageMapBase_, 8) + " overlaps the flash at " +
              Hex(f.Base(), 8) + "-0xFFFFFFFF (give --load-address in RAM)";
      return false;
    }
    if (!f.vars.empty())
      e = uc_mem_map_ptr(uc_, f.VarsBase(), f.vars.size(), UC_PROT_READ,
                         const_cast<uint8_t *>(f.vars.data()));
    if (!e)
      e = uc_mem_map_ptr(uc_, f.CodeBase(), f.code.size(), UC_PROT_READ,
                         const_cast<uint8_t *>(f.code.data()));
  }
  uc_hook h;
  if (!e && initialChipset_.HasProcessor()) {
    // CPUID through the emulator's hook; RDMSR, WRMSR and MOV to CR0, which
    // it has none for, at the instruction, wherever images run.
    e = uc_hook_add(uc_, &h, UC_HOOK_INSN, (void *)Hooks::Cpuid, this, 1, 0, UC_X86_INS_CPUID);
    if (!e)
      e = uc_hook_add(uc_, &h, UC_HOOK_CODE, (void *)Hooks::ProcessorInstruction, this,
                      kRamImageBase, kRamImageEnd - 1);
    if (!e && !imageInRam_)
      e = uc_hook_add(uc_, &h, UC_HOOK_CODE, (void *)Hooks::ProcessorInstruction, this,
                      LoadAddress(), uint64_t(ImageEnd() - 1));
  }
  if (!e)
    e = uc_hook_add(uc_, &h, UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE, (void *)Hooks::Memory, this, 1,
                    0);
  if (!e) e = uc_hook_add(uc_, &h, UC_HOOK_INSN, (void *)Hooks::PortIn, this, 1, 0, UC_X86_INS_IN);
  if (!e)
    e = uc_hook_add(uc_, &h, UC_HOOK_INSN, (void *)Hooks::PortOut, this, 1, 0, UC_X86_INS_OUT);
  if (!e)
    e = uc_hook_add(uc_, &h, UC_HOOK_CODE, (void *)Hooks::Service, this, kFoundationCode,
                    kServiceEntriesEnd - 1);
  // Every block, wherever it lies: code outside the images is a violation
  // (OnBlock), not code the checks never see.
  if (!e) e = uc_hook_add(uc_, &h, UC_HOOK_BLOCK, (void *)Hooks::Block, this, 1, 0);
  if (!e && !AttachCoverage(error)) return false;
  if (!e && options_.countEachInstruction)
    e = uc_hook_add(uc_, &h, UC_HOOK_CODE, (void *)Hooks::Instruction, this, LoadAddress(),
                    uint64_t(ImageEnd() - 1));
  if (!e) e = uc_hook_add(uc_, &h, UC_HOOK_MEM_INVALID, (void *)Hooks::Invalid, this, 1, 0);
  if (!e) e = uc_hook_add(uc_, &h, UC_HOOK_INTR, (void *)Hooks::Interrupt, this, 1, 0);
  if (!e)
    e = uc_hook_add(uc_, &h, UC_HOOK_INSN_INVALID, (void *)Hooks::InvalidInstruction, this, 1, 0);
  if (e) {
    error = std::string("cannot set up the emulated platform: ") + uc_strerror(e);
    return false;
  }
  return true;
}

void Platform::Reset() {
  for (uint32_t page : dirtyList_) {
    uint32_t address = page * kPageSize;
    if (kept_[page])
      memcpy(ram_ + address, pristine_ + address, kPageSize);
    else
      memset(ram_ + address, kUninitialisedByte, kPageSize);
    dirty_[page] = 0;
  }
  dirtyList_.clear();
  chipset_ = initialChipset_;
  ppis_ = initialPpis_;
  allocations_ = initialAllocations_;
  poolNext_ = initialPoolNext_;
  hobEnd_ = initialHobEnd_;
  bootMode_ = options_.bootMode;
  installedMemory_ = resetRequested_ = false;
  notifications_ = initialNotifications_;
  callbacks_.clear();
  pending_.clear();
  statusCodeCalls_.clear();
  statusCodeFunction_ = 0;
  // Copies loaded during the last run (a shadowed entry's) go.
  if (!keptRamImageNext_) keptRamImageNext_ = ramImageNext_;
  if (ramImageNext_ > keptRamImageNext_)
    uc_mem_protect(uc_, keptRamImageNext_, ramImageNext_ - keptRamImageNext_,
                   UC_PROT_READ | UC_PROT_WRITE);
  ramImageNext_ = keptRamImageNext_;
  if (others_.size() > keptOthers_) others_.resize(keptOthers_);
  events_.clear();
  services_.clear();
  violations_.clear();
  violationAt_.clear();
  absentAccesses_.clear();
  callbacksRun_.clear();
  stalls_.clear();
  stallCalls_ = stalledUs_ = 0;
  for (EventCounts &c : counts_) c = EventCounts();
  droppedEvents_ = 0;
  serviceCalls_.assign(kEntryCount, 0);
  watches_.clear();
  outputs_.clear();
  entryInstructions_ = 0;
  oneByOne_ = 0;
  ResetObservers();
  scratch_ = std::mt19937(kScratchStart);
}

void Platform::KeepPages(uint32_t address, uint32_t size) {
  uint64_t end = std::min<uint64_t>(uint64_t(address) + size, kRamEnd);
  for (uint64_t page = address / kPageSize; page * kPageSize < end; page++) {
    kept_[page] = 1;
    memcpy(pristine_ + page * kPageSize, ram_ + page * kPageSize, kPageSize);
  }
}

uint32_t Platform::LoadInRam(const pe::Image &image, const std::string &name,
                             std::string &error) {
  if (image.machine != pe::kMachineI386 || image.directories[pe::kDirImport].size != 0) {
    error = name + ": not an IA-32 image without imports";
    return 0;
  }
  uint32_t alignment = std::max<uint32_t>(image.sectionAlignment, 0x10000);
  if (alignment & (alignment - 1)) alignment = 0x10000;
  uint64_t base = (uint64_t(ramImageNext_) + alignment - 1) & ~uint64_t(alignment - 1);
  uint64_t size = (uint64_t(image.sizeOfImage) + kPageSize - 1) & ~uint64_t(kPageSize - 1);
  if (image.sizeOfImage == 0 || base + size > kRamImageEnd) {
    error = name + ": no room in RAM for its " + Hex(image.sizeOfImage) + " bytes";
    return 0;
  }
  std::vector<uint8_t> layout = pe::MemoryLayout(image);
  if (!pe::RelocateLayout(image, layout, uint32_t(base), error)) {
    error = name + ": cannot relocate to " + Hex(base, 8) + ": " + error;
    return 0;
  }
  HostWrite(uint32_t(base), layout.data(), layout.size());
  MarkDirty(uint32_t(base), uint32_t(size));
  uc_err e = uc_mem_protect(uc_, base, size, UC_PROT_ALL);
  if (e) {
    error = name + ": cannot map it: " + uc_strerror(e);
    return 0;
  }
  ramImageNext_ = uint32_t(base + size);
  others_.push_back({name, image, uint32_t(base), uint32_t(size)});
  return uint32_t(base);
}

bool Platform::Predispatch(const pe::Image &image, const std::string &name, uint32_t fileHandle,
                           std::string &outcome, std::string &error) {
  uint32_t base = LoadInRam(image, name, error);
  if (!base) return false;

  uint32_t savedHandle = fileHandle_;
  fileHandle_ = fileHandle;
  shadowRegistered_ = shadowRun_ = false;
  uint32_t entry = uint32_t(base) + image.entryRva;
  CallOutcome o = AfterEntry(entry, fileHandle,
                             Call(entry, {fileHandle, kPeiServicesCell}, {}, Phase::kEntry));
  fileHandle_ = savedHandle;
  outcome = !violations_.empty()
                ? "[" + violations_.front().kind + "] " + violations_.front().message
            : o.returned ? "returned " + StatusName(o.eax)
                         : "did not return";
  // Its trace is not the module's.
  events_.clear();
  services_.clear();
  violations_.clear();
  violationAt_.clear();
  absentAccesses_.clear();
  callbacksRun_.clear();
  stalls_.clear();
  stallCalls_ = stalledUs_ = 0;
  for (EventCounts &c : counts_) c = EventCounts();
  droppedEvents_ = 0;
  serviceCalls_.assign(kEntryCount, 0);
  for (InstalledPpi &p : ppis_) p.byModule = false;
  return true;
}

void Platform::KeepState() {
  for (uint32_t page : dirtyList_) {
    KeepPages(page * kPageSize, kPageSize);
    dirty_[page] = 0;
  }
  dirtyList_.clear();
  initialPpis_ = ppis_;
  initialChipset_ = chipset_;
  initialHobEnd_ = hobEnd_;
  initialPoolNext_ = poolNext_;
  initialAllocations_ = allocations_;
  initialNotifications_ = notifications_;
  keptOthers_ = others_.size();
  keptRamImageNext_ = ramImageNext_;
  Reset();
}

bool Platform::InOtherImage(uint32_t address) const {
  for (const OtherImage &o : others_)
    if (address - o.base < o.size) return true;
  return false;
}

uint32_t Platform::CurrentEsp() const {
  uint32_t esp = 0;
  uc_reg_read(uc_, UC_X86_REG_ESP, &esp);
  return esp;
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
  if (address >= kDeviceWindowBase && end <= kDeviceWindowEnd)
    return devices_ + (address - kDeviceWindowBase);
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
  // RAM only: ram_ holds nothing else (a caller that let another address
  // through would write past it).
  if (address < kRamBase || uint64_t(address) + size > kRamEnd) return;
  memcpy(ram_ + address, data, size);
  MarkDirty(address, uint32_t(size));
  if (address < kRamImageEnd && uint64_t(address) + size > kRamImageBase) {
    // The emulator does not see this write: code it translated from these
    // bytes must go.
    CodeWritten(address, uint32_t(size));
    uc_ctl_remove_cache(uc_, address, uint64_t(address) + size);
  }
}

void Platform::CodeWritten(uint32_t address, uint32_t size) {
  uint64_t end = std::min<uint64_t>(uint64_t(address) + size, kRamImageEnd);
  for (uint64_t at = std::max(address, kRamImageBase) & ~(kPageSize - 1); at < end; at += kPageSize)
    codeWrites_[(at - kRamImageBase) / kPageSize]++;
}

bool Platform::CallbackRan(uint32_t function) const {
  return std::find(callbacksRun_.begin(), callbacksRun_.end(), function) != callbacksRun_.end();
}

void Platform::NoteCallback(uint32_t function) {
  if (!CallbackRan(function) && callbacksRun_.size() < kPpiLimit) callbacksRun_.push_back(function);
}

void Platform::WatchWrites(uint32_t address, uint32_t size) { watches_.push_back({address, size}); }

uint32_t Platform::CurrentEip() const {
  uint32_t eip = 0;
  uc_reg_read(uc_, UC_X86_REG_EIP, &eip);
  return eip;
}

void Platform::OnBlock(uint32_t address, uint32_t size) {
  // The service entries run under their own hook.
  if (address - kFoundationCode < kPageSize) return;
  // Code runs only inside an image's extent (SizeOfImage from its load
  // address): the bytes around it on its pages, and anything else
  // executable, are no part of the module and would run unchecked.
  uint64_t blockEnd = uint64_t(address) + size;
  bool inside = InImage(address) && blockEnd <= ImageEnd();
  for (size_t i = 0; !inside && i < others_.size(); i++)
    inside = address - others_[i].base < others_[i].image.sizeOfImage &&
             blockEnd <= uint64_t(others_[i].base) + others_[i].image.sizeOfImage;
  if (!inside) {
    if (!stopped_) {
      AddViolationAt("execute-outside",
                     "executes " + Bytes(int(size)) + " at " + Hex(address, 8) + " (" +
                         Where(address) + "), outside the image (" + Hex(LoadAddress(), 8) + "-" +
                         Hex(ImageEnd() - 1, 8) + "); the run stops before it",
                     address);
      stopped_ = true;
      uc_emu_stop(uc_);
    }
    return;
  }
  uint64_t key = uint64_t(address) << 16 | (size & 0xFFFF);
  // Code in RAM can change under a block already decoded (written by the
  // image itself or by a service): then it is decoded again.
  uint64_t written = 0;
  if (address - kRamImageBase < kRamImageEnd - kRamImageBase) {
    uint32_t first = (address - kRamImageBase) / kPageSize;
    uint32_t last = uint32_t((std::min<uint64_t>(blockEnd, kRamImageEnd) - 1 - kRamImageBase) /
                             kPageSize);
    written = codeWrites_[first] + (last != first ? codeWrites_[last] : 0);
  }
  auto it = blocks_.find(key);
  if (it != blocks_.end() && it->second.codeWrites != written) {
    blocks_.erase(it);
    it = blocks_.end();
  }
  if (it == blocks_.end()) {
    Block b;
    b.codeWrites = written;
    uc_tb tb{};
    b.instructions = uc_ctl_request_cache(uc_, uint64_t(address), &tb) == UC_ERR_OK ? tb.icount : 1;
    // Memory hooks see the address of the instruction making the access;
    // port hooks do not, so note where the block's port instructions are.
    const uint8_t *code = Host(address, size);
    for (uint32_t at = 0; code && at < size;) {
      X86Instruction insn = DecodeX86(code + at, size - at);
      if (insn.length == 0) {
        // Bytes the decoder cannot read, which the emulator ran as an
        // instruction: a processor-control instruction is looked for at
        // every later offset, so that none hides behind them.
        for (uint32_t k = at + 1; k < size && !b.system; k++) {
          X86Instruction later = DecodeX86(code + k, size - k);
          if (later.system) {
            b.system = later.system;
            b.systemAt = address + k;
          }
        }
        break;
      }
      if (insn.port) b.ports.push_back(address + at);
      if (insn.system && !b.system && !CarriedOutByProcessor(insn.system)) {
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
  // Code within a few bytes that runs over and over, with nothing written,
  // traced or called in between, and comes back to the same registers, is
  // a dead loop (CpuDeadLoop after a failed check, a spin on memory nobody
  // will change): named as such rather than left to the budget. A loop
  // whose registers change (a countdown) is not; the budget and the time
  // limit bound it. (UsbControllerPeim's runs keep the budget as the bound
  // of a spin.)
  if (options_.anyPeim) {
    uint64_t activity = counts_[int(phase_)].All() + memoryWrites_;
    if (activity == loopActivity_ && address - loopBlock_ + kDeadLoopSpan / 2 < kDeadLoopSpan) {
      if (++loopCount_ >= kDeadLoopRepeats / 2 && !stopped_ && LoopStateRepeats(address)) {
        AddViolationAt("dead-loop", "the code at " + Hex(address, 8) + " (" + Where(address) +
                                        ") ran " + std::to_string(loopCount_) +
                                        " times over and came back to the same registers, "
                                        "without writing memory, touching hardware or calling a "
                                        "service: a dead loop; the run stops",
                       address);
        stopped_ = true;
        uc_emu_stop(uc_);
      }
    } else {
      loopBlock_ = address;
      loopActivity_ = activity;
      loopCount_ = 0;
      loopChecking_ = false;
    }
  }
  if ((++blocksSinceClock_ & 0xFFF) == 0) CheckClock();
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

bool Platform::LoopStateRepeats(uint32_t address) {
  // Called once the loop has run half of kDeadLoopRepeats times: the
  // registers at this block are noted, and compared when the loop comes
  // back to it after kDeadLoopRepeats. With no memory written in between,
  // the same registers there mean the same state, so the loop can never
  // end. Different ones (a counter) start the count again, so that a long
  // countdown costs two register reads per kDeadLoopRepeats rounds.
  static const int kRegs[10] = {UC_X86_REG_EAX, UC_X86_REG_EBX, UC_X86_REG_ECX, UC_X86_REG_EDX,
                                UC_X86_REG_ESI, UC_X86_REG_EDI, UC_X86_REG_EBP, UC_X86_REG_ESP,
                                UC_X86_REG_EFLAGS, UC_X86_REG_FPSW};
  uint32_t now[10] = {};
  void *values[10];
  for (int i = 0; i < 10; i++) values[i] = &now[i];
  if (loopChecking_ && (address != loopCheckAt_ || loopCount_ < kDeadLoopRepeats)) return false;
  uc_reg_read_batch(uc_, const_cast<int *>(kRegs), values, 10);
  if (!loopChecking_) {
    loopChecking_ = true;
    loopCheckAt_ = address;
    memcpy(loopRegisters_, now, sizeof now);
    return false;
  }
  if (memcmp(loopRegisters_, now, sizeof now) == 0) return true;
  loopChecking_ = false;
  loopCount_ = 0;
  return false;
}

void Platform::CheckClock() {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                  callStart_);
  if (stopped_ || uint64_t(ms.count()) <= options_.timeLimitMs) return;
  AddViolation("time-limit", "still running after " + std::to_string(ms.count()) +
                                 " ms of wall-clock time (the time limit, " +
                                 std::to_string(options_.timeLimitMs) + " ms)");
  stopped_ = true;
  uc_emu_stop(uc_);
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
  CheckDescriptorTables();
}

void Platform::CheckDescriptorTables() {
  // The IDT holds the PEI services pointer below it; the GDT the flat
  // segments every address here is taken in. A call that leaves them
  // changed is reported, and they are put back for the next call.
  static const struct {
    int reg;
    const char *name;
  } kTables[] = {{UC_X86_REG_IDTR, "IDTR"}, {UC_X86_REG_GDTR, "GDTR"}};
  const uint32_t base[] = {idtBase_, gdtBase_}, limit[] = {idtLimit_, gdtLimit_};
  for (int i = 0; i < 2; i++) {
    uc_x86_mmr now{};
    uc_reg_read(uc_, kTables[i].reg, &now);
    if (uint32_t(now.base) == base[i] && now.limit == limit[i]) continue;
    AddViolation("processor-control", std::string(kTables[i].name) + " changed from base " +
                                          Hex(base[i], 8) + " limit " + Hex(limit[i], 4) +
                                          " to base " + Hex(uint32_t(now.base), 8) + " limit " +
                                          Hex(now.limit, 4),
                 false);
    uc_x86_mmr put{};
    uc_reg_read(uc_, kTables[i].reg, &put);
    put.base = base[i];
    put.limit = limit[i];
    uc_reg_write(uc_, kTables[i].reg, &put);
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
    AddViolation("unmapped", (w == "read-unmapped"    ? "read of "
                              : w == "write-unmapped" ? "write of "
                                                      : "fetch of ") +
                                 Bytes(size) + " at " + at + ", where nothing is mapped");
  stopped_ = true;
}

void Platform::OnInterrupt(uint32_t number) {
  static const char *const kNames[] = {"divide error", "debug", "NMI", "breakpoint (int3)",
                                       "overflow", "bound range", "invalid opcode",
                                       "device not available", "double fault"};
  std::string name = number < 9 ? kNames[number] : "interrupt";
  AddViolation("cpu-exception", "CPU exception/interrupt " + std::to_string(number) + " (" + name +
                                    ") at " + Hex(CurrentEip(), 8) + " (" + Where(CurrentEip()) +
                                    ")");
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
  pending_.clear();
  callStart_ = std::chrono::steady_clock::now();
  loopBlock_ = 0;
  loopCount_ = 0;

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

  // A dispatch notification is called like this; callbacks due inside a
  // service note themselves.
  for (const Notification &n : notifications_)
    if (n.function == address) NoteCallback(address);
  block_ = nullptr;
  loopChecking_ = false;
  uc_err err = uc_emu_start(uc_, address, kReturnTrap, 0, 0);
  outcome.instructions = instructions_;
  FlushConsole(false);  // what the call wrote after its last line break
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
      AddViolation("stack-imbalance",
                   "returned with ESP " + Hex(espAfter, 8) + ", expected " + Hex(esp + 4, 8) +
                       " (cdecl: the caller pops the arguments)",
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
  shadowRegistered_ = shadowRun_ = false;
  uint32_t entry = LoadAddress() + image_.entryRva;
  CallOutcome o = Call(entry, {fileHandle_, kPeiServicesCell}, {}, Phase::kEntry);
  entryInstructions_ = o.instructions;
  return AfterEntry(entry, fileHandle_, o);
}

}  // namespace peimsim
