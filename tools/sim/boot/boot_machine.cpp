// The PEI phase on the q35 platform: the engine, the tap on the services
// table, image recognition, the processor-control allow-list and the
// hand-off to the DXE core.
#include "boot_machine.h"

#include <sys/mman.h>
#include <unicorn/unicorn.h>

#include <algorithm>
#include <cstring>

#include "disasm.h"
#include "ffs.h"
#include "foundation.h"
#include "platform_file.h"

namespace peimsim::boot {
namespace {

constexpr uint64_t kPeiServicesSignature = 0x5652455320494550ull;  // "PEI SERV"
constexpr int kSlotCpuIo = 18, kSlotPciCfg = 19;

const int kRegs[8] = {UC_X86_REG_EAX, UC_X86_REG_ECX, UC_X86_REG_EDX, UC_X86_REG_EBX,
                      UC_X86_REG_ESP, UC_X86_REG_EBP, UC_X86_REG_ESI, UC_X86_REG_EDI};

BootMachine *M(void *user) { return static_cast<BootMachine *>(user); }

void BlockHook(uc_engine *, uint64_t address, uint32_t size, void *user) {
  M(user)->OnBlock(uint32_t(address), size);
}
uint32_t PortIn(uc_engine *, uint32_t port, int size, void *user) {
  uint32_t v = 0;
  M(user)->OnPort(false, uint16_t(port), size, v);
  return v;
}
void PortOut(uc_engine *, uint32_t port, int size, uint32_t value, void *user) {
  M(user)->OnPort(true, uint16_t(port), size, value);
}
// The device window is memory the hook fills before a read and watches on
// a write, so that an access reaches the devices at the width the
// instruction made it (an MMIO region would widen a byte read to a dword).
void DeviceHook(uc_engine *, uc_mem_type type, uint64_t address, int size, int64_t value,
                void *user) {
  M(user)->OnDeviceAccess(type == UC_MEM_WRITE, uint32_t(address), size, uint64_t(value));
}
int CpuidHook(uc_engine *, void *user) {
  M(user)->OnCpuid();
  return 1;
}
void ProcessorHook(uc_engine *, uint64_t address, uint32_t, void *user) {
  M(user)->OnProcessorInstruction(uint32_t(address));
}
void InterruptHook(uc_engine *, uint32_t number, void *user) { M(user)->OnInterrupt(number); }
bool InvalidHook(uc_engine *, uc_mem_type type, uint64_t address, int size, int64_t, void *user) {
  M(user)->OnFault(int(type), uint32_t(address), size);
  return false;
}
bool InvalidInsnHook(uc_engine *, void *user) {
  M(user)->OnInterrupt(6);
  return false;
}

std::string Dec(uint64_t v) { return std::to_string(v); }

// A hardware access of the trace: what, where, and the code that made it.
BootEvent Access(BootEventKind kind, bool write, int width, uint32_t address, int image,
                 uint32_t eip) {
  BootEvent e;
  e.kind = kind;
  e.write = write;
  e.width = uint8_t(width);
  e.address = address;
  e.image = image;
  e.eip = eip;
  return e;
}

}  // namespace

BootMachine::BootMachine() = default;

BootMachine::~BootMachine() {
  if (uc_) uc_close(uc_);
  if (ram_) munmap(ram_, kRamSize);
  if (window_) munmap(window_, flashBase_ - kRamSize);
}

void BootMachine::OnDeviceAccess(bool write, uint32_t address, int size, uint64_t value) {
  uint64_t v = OnMmio(write, address, size, value);
  if (!write) memcpy(window_ + (address - kRamSize), &v, std::min<uint32_t>(size, flashBase_ - address));
}

bool BootMachine::Read(uint32_t address, void *data, uint32_t size) const {
  if (uint64_t(address) + size <= kRamSize) {
    memcpy(data, ram_ + address, size);
    return true;
  }
  if (address >= flashBase_ && uint64_t(address) + size <= 0x100000000ull) {
    memcpy(data, flash_.data() + (address - flashBase_), size);
    return true;
  }
  memset(data, 0, size);
  return false;
}

uint32_t BootMachine::Read32(uint32_t address) const {
  uint32_t v = 0;
  Read(address, &v, 4);
  return v;
}

bool BootMachine::Write(uint32_t address, const void *data, uint32_t size) {
  if (uint64_t(address) + size > kRamSize) return false;
  memcpy(ram_ + address, data, size);
  return true;
}

uint32_t BootMachine::Eip() const {
  uint32_t v = 0;
  uc_reg_read(uc_, UC_X86_REG_EIP, &v);
  return v;
}

uint32_t BootMachine::Esp() const {
  uint32_t v = 0;
  uc_reg_read(uc_, UC_X86_REG_ESP, &v);
  return v;
}

uint32_t BootMachine::IdtBase() const {
  uc_x86_mmr idtr{};
  uc_reg_read(uc_, UC_X86_REG_IDTR, &idtr);
  return uint32_t(idtr.base);
}

void BootMachine::Stop(const std::string &kind, const std::string &reason) {
  if (stopped_ || done_) return;
  stopped_ = true;
  outcome_.kind = kind;
  outcome_.reason = reason;
  uc_emu_stop(uc_);
}

bool BootMachine::Setup(const SecHandOff &handOff, const std::vector<uint8_t> &code,
                        const std::vector<uint8_t> &vars, const BootOptions &options,
                        std::string &error) {
  handOff_ = handOff;
  options_ = options;
  flash_ = vars;
  flash_.insert(flash_.end(), code.begin(), code.end());
  if (flash_.size() > (16u << 20) || flash_.size() % 0x1000) {
    error = "the flash (code and variable store) must be a multiple of 4 KiB, at most 16 MiB";
    return false;
  }
  flashBase_ = uint32_t(0x100000000ull - flash_.size());
  void *p = mmap(nullptr, kRamSize, PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) {
    error = "cannot reserve host memory for 256 MiB of RAM";
    return false;
  }
  ram_ = static_cast<uint8_t *>(p);
  if (uc_open(UC_ARCH_X86, UC_MODE_32, &uc_) != UC_ERR_OK) {
    uc_ = nullptr;
    error = "cannot start the CPU emulator";
    return false;
  }
  PlatformDescription machine = Q35Platform();
  if (options_.usbChipset) {
    const PlatformDescription &usb = DefaultPlatform();
    machine.functions.insert(machine.functions.end(), usb.functions.begin(), usb.functions.end());
    machine.regions.insert(machine.regions.end(), usb.regions.begin(), usb.regions.end());
  }
  chipset_ = Chipset(machine);
  chipset_.SetGuestMemory([this](uint32_t address, void *data, uint32_t size, bool write) {
    if (uint64_t(address) + size > kRamSize) return false;
    return write ? Write(address, data, size) : Read(address, data, size);
  });
  uc_err e = uc_mem_map_ptr(uc_, 0, kRamSize, UC_PROT_ALL, ram_);
  if (!e) e = uc_mem_map_ptr(uc_, flashBase_, flash_.size(), UC_PROT_READ | UC_PROT_EXEC,
                             flash_.data());
  window_ = static_cast<uint8_t *>(mmap(nullptr, flashBase_ - kRamSize, PROT_READ | PROT_WRITE,
                                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0));
  if (window_ == MAP_FAILED) {
    window_ = nullptr;
    error = "cannot reserve host memory for the device window";
    return false;
  }
  if (!e)
    e = uc_mem_map_ptr(uc_, kRamSize, flashBase_ - kRamSize, UC_PROT_READ | UC_PROT_WRITE, window_);
  uc_hook h;
  if (!e)
    e = uc_hook_add(uc_, &h, UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE, (void *)DeviceHook, this,
                    kRamSize, flashBase_ - 1);
  if (!e) e = uc_hook_add(uc_, &h, UC_HOOK_BLOCK, (void *)BlockHook, this, 1, 0);
  if (!e) e = uc_hook_add(uc_, &h, UC_HOOK_INSN, (void *)PortIn, this, 1, 0, UC_X86_INS_IN);
  if (!e) e = uc_hook_add(uc_, &h, UC_HOOK_INSN, (void *)PortOut, this, 1, 0, UC_X86_INS_OUT);
  if (!e) e = uc_hook_add(uc_, &h, UC_HOOK_INSN, (void *)CpuidHook, this, 1, 0, UC_X86_INS_CPUID);
  if (!e) e = uc_hook_add(uc_, &h, UC_HOOK_INTR, (void *)InterruptHook, this, 1, 0);
  if (!e) e = uc_hook_add(uc_, &h, UC_HOOK_MEM_INVALID, (void *)InvalidHook, this, 1, 0);
  if (!e) e = uc_hook_add(uc_, &h, UC_HOOK_INSN_INVALID, (void *)InvalidInsnHook, this, 1, 0);
  if (e) {
    error = std::string("cannot set up the emulated machine: ") + uc_strerror(e);
    return false;
  }
  // What SEC unpacked, and its frame at the top of temporary RAM.
  for (const PlacedVolume &v : handOff_.volumes)
    if (!v.bytes.empty() && !Write(v.address, v.bytes.data(), uint32_t(v.bytes.size()))) {
      error = "the " + v.what + " does not fit in RAM";
      return false;
    }
  for (const auto &part : StandInFrame(handOff_, options_.migrationPpi))
    Write(part.first, part.second.data(), uint32_t(part.second.size()));
  // The devices as SEC leaves them: the PM base set and the PM block on
  // (its ACPI timer library's constructor), both PICs masked, the local
  // APIC timer set up and its interrupt masked.
  PortResult r;
  auto config = [&](uint32_t address, int size, uint32_t value) {
    chipset_.PortWrite(kConfigAddressPort, 4, kConfigEnable | (address & ~3u), r);
    chipset_.PortWrite(uint16_t(kConfigDataPort + (address & 3)), size, value, r);
  };
  config(0xF840, 4, 0x600);  // 00:1F.0 PMBASE
  config(0xF844, 1, 0x80);   // 00:1F.0 ACPI_CNTL: ACPI_EN
  chipset_.PortWrite(kConfigAddressPort, 4, 0, r);
  chipset_.PortWrite(0x21, 1, 0xFF, r);
  chipset_.PortWrite(0xA1, 1, 0xFF, r);
  for (auto reg : {std::pair<uint32_t, uint32_t>{0xFEE00380, 0xFFFFFFFF}, {0xFEE00320, 0x00030005}}) {
    Target t = chipset_.DecodeMemory(reg.first, 4);
    if (t.claimed) chipset_.MemoryWrite(t, 4, reg.second);
  }
  chipset_.TakeMisuse();
  uc_x86_mmr idtr{};
  idtr.base = kIdtBaseAddress;
  idtr.limit = kIdtEntries * 8 - 1;
  uc_reg_write(uc_, UC_X86_REG_IDTR, &idtr);
  uint32_t esp = kInitialEsp, eflags = 2;
  uc_reg_write(uc_, UC_X86_REG_ESP, &esp);
  uc_reg_write(uc_, UC_X86_REG_EFLAGS, &eflags);
  return true;
}

BootOutcome BootMachine::Run() {
  start_ = std::chrono::steady_clock::now();
  uint32_t pc = handOff_.peiCoreEntry;
  while (!done_ && !stopped_) {
    restart_ = false;
    uc_err err = uc_emu_start(uc_, pc, ~0ull, 0, 0);
    if (restart_ && !stopped_ && !done_) {
      for (uint32_t a : toHook_) {
        uc_hook h;
        uc_hook_add(uc_, &h, UC_HOOK_CODE, (void *)ProcessorHook, this, a, a);
        hooked_.push_back(a);
      }
      toHook_.clear();
      uc_ctl_remove_cache(uc_, restartAt_ & ~0xFFFu, (restartAt_ & ~0xFFFu) + 0x2000);
      pc = restartAt_;
      continue;
    }
    if (done_ || stopped_) break;
    uint32_t eip = Eip();
    if (err != UC_ERR_OK)
      Stop("cpu-fault", std::string("the processor stopped at ") + Hex(eip, 8) + " (" +
                            Where(eip) + "): " + uc_strerror(err));
    else
      Stop("stopped", "the run stopped at " + Hex(eip, 8) + " (" + Where(eip) + ")");
  }
  std::chrono::duration<double> took = std::chrono::steady_clock::now() - start_;
  outcome_.seconds = took.count();
  outcome_.instructions = instructions_;
  for (BootOptions::Fail &f : options_.failures)
    if (!f.fired && outcome_.reachedDxe) {
      outcome_.reachedDxe = false;
      outcome_.kind = "fail-not-fired";
      outcome_.reason = "--fail " + f.service + (f.peim.empty() ? "" : "@" + f.peim) +
                        " never fired: no such call was made";
    }
  return outcome_;
}

int BootMachine::ImageAt(uint32_t address) const {
  for (size_t i = images_.size(); i-- > 0;)
    if (address - images_[i].base < images_[i].size) return int(i);
  return -1;
}

std::string BootMachine::Where(uint32_t address) const {
  int i = ImageAt(address);
  if (i >= 0) return images_[i].name + "+" + Hex(address - images_[i].base);
  if (address - kTempRamBase < kTempRamSize) return "temporary RAM";
  if (address < kRamSize) return "RAM";
  if (address >= flashBase_) return "flash+" + Hex(address - flashBase_);
  return "device window";
}

int BootMachine::Recognise(uint32_t address) {
  // The image's header lies below the code: a PE32 (MZ, then PE) whose
  // SizeOfImage covers the address, or a TE header (VZ).
  uint32_t low = address > 0x400000 ? address - 0x400000 : 0;
  for (uint32_t at = address & ~3u;; at -= 4) {
    uint8_t h[2];
    if (Read(at, h, 2) && (h[0] == 'M' && h[1] == 'Z')) {
      uint32_t pe = Read32(at + 0x3C);
      uint8_t sig[24];
      if (pe < 0x1000 && Read(at + pe, sig, 24) && memcmp(sig, "PE\0\0", 4) == 0 &&
          sig[4] == 0x4C && sig[5] == 0x01) {
        uint32_t opt = at + pe + 24;
        uint32_t sizeOfImage = Read32(opt + 56), entry = Read32(opt + 16);
        uint16_t sections = uint16_t(sig[6] | sig[7] << 8);
        if (address - at < sizeOfImage) {
          RunImage img;
          img.base = at;
          img.size = sizeOfImage;
          img.entry = at + entry;
          uint16_t optSize = uint16_t(sig[20] | sig[21] << 8);
          uint32_t firstVa = Read32(opt + optSize + 12), firstVs = Read32(opt + optSize + 8);
          for (size_t k = 0; k < handOff_.images.size(); k++) {
            const pe::Image &s = handOff_.images[k].pe;
            if (s.IsTe() || s.entryRva != entry || s.sizeOfImage != sizeOfImage ||
                s.sections.size() != sections || s.sections.empty() ||
                s.sections[0].virtualAddress != firstVa || s.sections[0].virtualSize != firstVs)
              continue;
            img.source = int(k);
            img.name = handOff_.images[k].name;
            img.inPlace = handOff_.images[k].xipBase == at;
            break;
          }
          if (img.source < 0) img.name = "image@" + Hex(at, 8);
          images_.push_back(img);
          return int(images_.size() - 1);
        }
      }
    }
    if (Read(at, h, 2) && h[0] == 'V' && h[1] == 'Z') {
      uint8_t te[40];
      Read(at, te, 40);
      uint16_t stripped = uint16_t(te[6] | te[7] << 8);
      uint32_t entry = 0;
      memcpy(&entry, te + 8, 4);
      for (size_t k = 0; k < handOff_.images.size(); k++) {
        const pe::Image &s = handOff_.images[k].pe;
        if (!s.IsTe() || s.entryRva != entry || s.strippedSize != stripped) continue;
        RunImage img;
        img.base = at - stripped + 40;
        img.size = s.sizeOfImage;
        img.entry = img.base + entry;
        if (address - img.base >= img.size) break;
        img.source = int(k);
        img.name = handOff_.images[k].name;
        img.inPlace = handOff_.images[k].xipBase == at;
        images_.push_back(img);
        return int(images_.size() - 1);
      }
    }
    if (at <= low || at < 4) break;
  }
  return -1;
}

void BootMachine::OnBlock(uint32_t address, uint32_t size) {
  if (stopped_ || done_ || restart_) return;
  if ((++blocksSinceClock_ & 0x3FFF) == 0) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - start_).count();
    if (uint64_t(ms) > options_.timeLimitMs) {
      Stop("time-limit", "still in the PEI phase after " + Dec(ms) + " ms (the time limit)");
      return;
    }
  }
  if (instructions_ > options_.budget) {
    Stop("budget", "still in the PEI phase after " + Dec(options_.budget) +
                       " instructions (the budget), at " + Hex(address, 8) + " (" +
                       Where(address) + ")");
    return;
  }
  if (address == kMigrationEntry && options_.migrationPpi) {
    Migrate();
    return;
  }
  if (address == kCoreReturnTrap) {
    Stop("core-returned", "the PEI core returned to SEC");
    return;
  }
  if (address - curBase_ >= curSize_) {
    int i = ImageAt(address);
    if (i < 0) i = Recognise(address);
    if (i < 0) {
      Stop("execute-outside", "jumps to " + Hex(address, 8) + " (" + Where(address) +
                                  "), outside any image; the run stops before it");
      return;
    }
    RunImage &img = images_[i];
    current_ = i;
    curBase_ = img.base;
    curSize_ = img.size;
    PollServicesTable();
    if (stopped_) return;
    if (address == img.entry && img.source >= 0) {
      uint8_t type = handOff_.images[img.source].fileType;
      if (type == fv::kFileDxeCore) {
        // DxeIpl's hand-off: DxeCoreEntryPoint (HobStart).
        done_ = true;
        outcome_.reachedDxe = true;
        outcome_.dxeEntry = address;
        outcome_.hobList = Read32(Esp() + 4);
        DecodeHobs(outcome_.hobList);
        uc_emu_stop(uc_);
        return;
      }
      if (img.order < 0 && type != fv::kFilePeiCore) img.order = dispatched_++;
    }
  }
  uint64_t key = uint64_t(address) << 16 | (size & 0xFFFF);
  auto it = blocks_.find(key);
  if (it == blocks_.end()) {
    Block b;
    uc_tb tb{};
    b.instructions = uc_ctl_request_cache(uc_, address, &tb) == UC_ERR_OK ? tb.icount : 1;
    if (!CheckInstructions(address, size, b)) return;
    it = blocks_.emplace(key, std::move(b)).first;
  }
  block_ = &it->second;
  blockPorts_ = 0;
  instructions_ += block_->instructions;
  images_[current_].instructions += block_->instructions;
  if (!pending_.empty()) {
    for (size_t k = pending_.size(); k-- > 0 && k + 8 >= pending_.size();)
      if (pending_[k].returnAddress == address && Esp() == pending_[k].esp + 4) {
        ServiceReturn(k);
        break;
      }
  }
  auto s = serviceAt_.find(address);
  if (s != serviceAt_.end()) ServiceEntry(s->second, address);
}

bool BootMachine::CheckInstructions(uint32_t address, uint32_t size, Block &b) {
  // The processor-control instructions a PEI phase executes are allowed by
  // this list: LIDT, LGDT, WBINVD run as they are; MOV to CR0, CR3 and CR4
  // run once checked (no paging, protected mode kept); RDMSR, WRMSR and
  // RDTSC are carried out on the processor model. Anything else stops the
  // run before its block runs.
  std::vector<uint8_t> code(size);
  Read(address, code.data(), size);
  std::vector<uint32_t> hooks;
  for (uint32_t at = 0; at < size;) {
    X86Instruction insn = DecodeX86(code.data() + at, size - at);
    if (insn.length == 0) break;
    if (insn.port) b.ports.push_back(address + at);
    const uint8_t *c = code.data() + at;
    bool intercepted = insn.length >= 2 && c[0] == 0x0F &&
                       (c[1] == 0x30 || c[1] == 0x31 || c[1] == 0x32 ||
                        (c[1] == 0x22 && insn.length == 3));
    if (intercepted) {
      int cr = c[1] == 0x22 ? (c[2] >> 3) & 7 : 0;
      if (c[1] == 0x22 && cr != 0 && cr != 3 && cr != 4) {
        Stop("processor-control", "MOV to CR" + Dec(cr) + " at " + Hex(address + at, 8) + " (" +
                                      Where(address + at) + ") is not on the allowed list");
        return false;
      }
      if (std::find(hooked_.begin(), hooked_.end(), address + at) == hooked_.end())
        hooks.push_back(address + at);
    } else if (insn.system && strcmp(insn.system, "LIDT") != 0 &&
               strcmp(insn.system, "LGDT") != 0) {
      Stop("processor-control", std::string(insn.system) + " at " + Hex(address + at, 8) + " (" +
                                    Where(address + at) +
                                    ") is not on the allowed list; the run stops before it");
      return false;
    }
    at += insn.length;
  }
  if (hooks.empty()) return true;
  toHook_ = hooks;
  restart_ = true;
  restartAt_ = address;
  uc_emu_stop(uc_);
  return false;
}

void BootMachine::OnProcessorInstruction(uint32_t address) {
  if (stopped_ || done_ || restart_) return;
  uint8_t c[3] = {};
  Read(address, c, 3);
  Processor &cpu = chipset_.processor();
  chipset_.SetClock(instructions_);
  uint32_t eax = 0, edx = 0, ecx = 0;
  if (c[1] == 0x22) {
    uint32_t value = 0;
    uc_reg_read(uc_, kRegs[c[2] & 7], &value);
    int cr = (c[2] >> 3) & 7;
    if (cr == 0 && (value & 0x80000000u))
      Stop("paging", "MOV to CR0 " + Hex(value, 8) + " at " + Hex(address, 8) + " (" +
                         Where(address) + ") enables paging; the run stops before it");
    else if (cr == 0 && !(value & 1))
      Stop("processor-control", "MOV to CR0 " + Hex(value, 8) + " at " + Hex(address, 8) +
                                    " (" + Where(address) + ") leaves protected mode");
    else if (cr == 0)
      cpu.cacheBits = value & 0x60000000;
    return;  // runs as it is
  }
  uc_reg_read(uc_, UC_X86_REG_ECX, &ecx);
  // Each MSR access is an event of the trace, as a port access is.
  bool rdtsc = c[1] == 0x31;
  BootEvent e = Access(BootEventKind::kMsr, c[1] == 0x30, 8, rdtsc ? Processor::kTsc : ecx,
                       current_, address);
  e.tsc = rdtsc;
  if (c[1] == 0x32 || c[1] == 0x31) {
    bool known = false;
    uint64_t v = cpu.ReadMsr(e.address, chipset_.Clock(instructions_), known);
    eax = uint32_t(v);
    edx = uint32_t(v >> 32);
    uc_reg_write(uc_, UC_X86_REG_EAX, &eax);
    uc_reg_write(uc_, UC_X86_REG_EDX, &edx);
    e.value = v;
    e.absent = !known;
    Record(e);
  } else {
    uc_reg_read(uc_, UC_X86_REG_EAX, &eax);
    uc_reg_read(uc_, UC_X86_REG_EDX, &edx);
    e.value = uint64_t(edx) << 32 | eax;
    Record(e);
    std::string why;
    if (!cpu.WriteMsr(ecx, e.value, why)) {
      Stop("processor-control", "WRMSR " + Hex(ecx) + " at " + Hex(address, 8) + " (" +
                                    Where(address) + "): " + why);
      return;
    }
  }
  uint32_t next = address + 2;
  uc_reg_write(uc_, UC_X86_REG_EIP, &next);
}

void BootMachine::OnCpuid() {
  chipset_.processor().AnswerCpuid(uc_);
}

void BootMachine::Record(const BootEvent &e) {
  if (events_.size() < options_.eventLimit) events_.push_back(e);
  else dropped_++;
}

void BootMachine::OnPort(bool write, uint16_t port, int size, uint32_t &value) {
  BootEvent e = Access(BootEventKind::kPort, write, size, port, current_,
                       block_ && !block_->ports.empty()
                           ? block_->ports[std::min(blockPorts_++, block_->ports.size() - 1)]
                           : Eip());
  PortResult r;
  chipset_.SetClock(instructions_);
  if (write) chipset_.PortWrite(port, size, value, r);
  else value = chipset_.PortRead(port, size, r);
  e.value = value;
  e.pciConfig = r.kind == PortKind::kConfigData;
  e.configAddress = r.configAddress;
  e.absent = e.pciConfig && r.target.device == kNoDevice;
  Record(e);
  if (current_ >= 0) {
    images_[current_].ports++;
    if (e.pciConfig) images_[current_].pciConfig++;
  }
  if (e.pciConfig) pciConfigCount_++;
  for (const DeviceMisuse &m : chipset_.TakeMisuse()) Stop(m.kind, m.message);
  if (r.kind == PortKind::kUnclaimed && port != 0x80)
    Stop("unclaimed-port", std::string(write ? "OUT to" : "IN from") + " port " + Hex(port, 4) +
                               " at " + Hex(e.eip, 8) + " (" + Where(e.eip) +
                               "), which no device of the q35 platform claims");
}

uint64_t BootMachine::OnMmio(bool write, uint32_t address, int size, uint64_t value) {
  BootEvent e = Access(BootEventKind::kMemory, write, size, address, current_, Eip());
  Target t = chipset_.DecodeMemory(address, size);
  chipset_.SetClock(instructions_);
  if (write) chipset_.MemoryWrite(t, size, value);
  else value = t.claimed ? chipset_.MemoryRead(t, size) : ~0ull;
  e.value = value;
  Record(e);
  if (current_ >= 0) images_[current_].mmio++;
  for (const DeviceMisuse &m : chipset_.TakeMisuse()) Stop(m.kind, m.message);
  if (!t.claimed)
    Stop("unclaimed-mmio", std::string(write ? "write" : "read") + " of " + Dec(size) +
                               " bytes at " + Hex(address, 8) + " by " + Where(e.eip) +
                               ", which no device of the q35 platform claims");
  return value;
}

void BootMachine::OnInterrupt(uint32_t number) {
  uint32_t eip = Eip();
  Stop("cpu-exception", "CPU exception " + Dec(number) + " at " + Hex(eip, 8) + " (" +
                            Where(eip) + ")");
}

void BootMachine::OnFault(int type, uint32_t address, int size) {
  uint32_t eip = Eip();
  const char *what = type == UC_MEM_WRITE_PROT    ? "write to read-only memory"
                     : type == UC_MEM_FETCH_UNMAPPED ? "fetch from unmapped memory"
                     : type == UC_MEM_WRITE_UNMAPPED ? "write to unmapped memory"
                                                     : "read of unmapped memory";
  Stop("unmapped", std::string(what) + ": " + Dec(size) + " bytes at " + Hex(address, 8) + " (" +
                       Where(address) + ") by " + Hex(eip, 8) + " (" + Where(eip) + ")");
}

// ---- The tap on the services table -----------------------------------------

void BootMachine::PollServicesTable() {
  // CONST EFI_PEI_SERVICES ** lies in the 4 bytes below the IDT; the table
  // it leads to holds the core's service entries.
  uint32_t cell = Read32(IdtBase() - 4);
  if (cell == 0) return;
  uint32_t table = Read32(cell);
  uint64_t signature = 0;
  if (table) Read(table, &signature, 8);
  if (signature != kPeiServicesSignature) {
    if (tableSeen_)
      Stop("services-table", "the pointer below the IDT (" + Hex(IdtBase() - 4, 8) +
                                 ") no longer leads to a PEI services table (" + Hex(cell, 8) +
                                 " -> " + Hex(table, 8) + ")");
    return;
  }
  std::vector<uint32_t> slots(kServiceSlots);
  Read(table + 24, slots.data(), kServiceSlots * 4);
  if (table == table_ && slots == slots_) return;
  table_ = table;
  slots_ = slots;
  tableSeen_ = true;
  serviceAt_.clear();
  for (int i = 0; i < kServiceSlots; i++) {
    if (i == kSlotCpuIo || i == kSlotPciCfg || slots[i] == 0) continue;
    serviceAt_.emplace(slots[i], i);
  }
}

std::string BootMachine::GuidAt(uint32_t address) const {
  Guid g{};
  if (!Read(address, g.data(), 16)) return "(GUID at " + Hex(address, 8) + ")";
  return GuidName(g);
}

std::string BootMachine::PpiList(uint32_t descriptor, bool notify) const {
  std::string out;
  for (int i = 0; i < 64; i++, descriptor += 12) {
    uint32_t flags = Read32(descriptor), guid = Read32(descriptor + 4),
             ppi = Read32(descriptor + 8);
    if (!out.empty()) out += ", ";
    out += GuidAt(guid) + (notify ? " -> " : " = ") + Hex(ppi, 8);
    if (flags & 0x80000000u) break;
  }
  return out;
}

void BootMachine::ServiceEntry(int slot, uint32_t address) {
  BootService s;
  s.slot = slot;
  s.name = ServiceSlotName(slot);
  uint32_t esp = Esp();
  s.caller = Read32(esp);
  Read(esp + 4, s.args, sizeof s.args);
  s.image = ImageAt(s.caller);
  DecodeArguments(s);
  std::string callerName = s.image >= 0 ? images_[s.image].name : "";
  for (BootOptions::Fail &f : options_.failures) {
    if (f.service != s.name || (!f.peim.empty() && f.peim != callerName)) continue;
    // Injected: the service returns the status without doing anything.
    f.fired = true;
    s.injected = s.returned = true;
    s.status = f.status;
    uint32_t newEsp = esp + 4;
    uc_reg_write(uc_, UC_X86_REG_EAX, &s.status);
    uc_reg_write(uc_, UC_X86_REG_ESP, &newEsp);
    restart_ = true;
    restartAt_ = s.caller;
    uc_emu_stop(uc_);
    break;
  }
  services_.push_back(s);
  if (!s.injected) pending_.push_back({s.caller, esp, services_.size() - 1});
  BootEvent e;
  e.kind = BootEventKind::kService;
  e.image = s.image;
  e.eip = s.caller;
  e.address = address;
  e.service = int(services_.size() - 1);
  Record(e);
  if (s.image >= 0) images_[s.image].services++;
}

void BootMachine::ServiceReturn(size_t k) {
  BootService &s = services_[pending_[k].service];
  s.returned = true;
  uc_reg_read(uc_, UC_X86_REG_EAX, &s.status);
  DecodeResults(s);
  pending_.resize(k);
}

void BootMachine::DecodeArguments(BootService &s) {
  const uint32_t *a = s.args;
  switch (s.slot) {
    case 0: s.arguments = PpiList(a[1], false); break;
    case 1: s.arguments = GuidAt(Read32(a[1] + 4)) + " -> " + PpiList(a[2], false); break;
    case 2: s.arguments = GuidAt(a[1]) + " instance " + Dec(a[2]); break;
    case 3: s.arguments = PpiList(a[1], true); break;
    case 5: s.arguments = BootModeName(a[1]).empty() ? Hex(a[1]) : BootModeName(a[1]); break;
    case 7: s.arguments = "type " + Hex(a[1] & 0xFFFF, 4) + ", " + Dec(a[2] & 0xFFFF) + " bytes"; break;
    case 8: s.arguments = "instance " + Dec(a[1]); break;
    case 9: s.arguments = "type " + Hex(a[1] & 0xFF, 2) + " in " + Hex(a[2], 8); break;
    case 10: s.arguments = "type " + Hex(a[1] & 0xFF, 2) + " in " + Hex(a[2], 8); break;
    case 11: s.arguments = Hex(uint64_t(a[2]) << 32 | a[1], 8) + ", " +
                           Hex(uint64_t(a[4]) << 32 | a[3]) + " bytes"; break;
    case 12: s.arguments = Dec(a[2]) + " pages of " + MemoryTypeName(a[1]); break;
    case 13: s.arguments = Dec(a[1] & 0xFFFF) + " bytes"; break;
    case 14: s.arguments = Hex(a[0], 8) + " <- " + Hex(a[1], 8) + ", " + Dec(a[2]) + " bytes"; break;
    case 15: s.arguments = Hex(a[0], 8) + ", " + Dec(a[1]) + " bytes of " + Hex(a[2] & 0xFF, 2); break;
    case 16: s.arguments = "type " + Hex(a[1], 8) + " value " + Hex(a[2], 8); break;
    case 20: s.arguments = GuidAt(a[0]) + " in " + Hex(a[1], 8); break;
    case 21: case 25: case 23: s.arguments = "file " + Hex(a[0], 8); break;
    case 22: s.arguments = "volume " + Hex(a[0], 8); break;
    case 24: s.arguments = "type " + Hex(a[1] & 0xFF, 2) + " instance " + Dec(a[2]) + " in " +
                           Hex(a[3], 8); break;
    case 26: s.arguments = "type " + Dec(a[0]) + " status " + StatusName(a[1]); break;
    case 27: s.arguments = Hex(uint64_t(a[2]) << 32 | a[1], 8) + ", " + Dec(a[3]) + " pages"; break;
    default: break;
  }
}

void BootMachine::DecodeResults(BootService &s) {
  const uint32_t *a = s.args;
  bool ok = (s.status & 0x80000000u) == 0;
  RunImage *img = s.image >= 0 ? &images_[s.image] : nullptr;
  switch (s.slot) {
    case 0: if (ok && img) img->installed.push_back(s.arguments); break;
    case 1: if (ok && img) img->installed.push_back(s.arguments + " (reinstalled)"); break;
    case 2: if (ok) s.results = "PPI " + Hex(Read32(a[4]), 8); break;
    case 3: if (ok && img) img->notified.push_back(s.arguments); break;
    case 4: if (ok) s.results = BootModeName(Read32(a[1])); break;
    case 6: if (ok) s.results = "HOB list " + Hex(Read32(a[1]), 8); break;
    case 7:
      if (ok) {
        s.results = "HOB at " + Hex(Read32(a[3]), 8);
        if (img) img->created.push_back(s.arguments + " at " + Hex(Read32(a[3]), 8));
      }
      break;
    case 8: case 9: case 10: case 20:
      if (ok) s.results = Hex(Read32(s.slot == 20 ? a[2] : a[3 - (s.slot == 8)]), 8);
      break;
    case 24: if (ok) s.results = Hex(Read32(a[4]), 8); break;
    case 12:
      if (ok) {
        s.results = "at " + Hex(Read32(a[3]), 8);
        if (img) img->allocated.push_back(s.arguments + " " + s.results);
      }
      break;
    case 13:
      if (ok) {
        s.results = "at " + Hex(Read32(a[2]), 8);
        if (img) img->allocated.push_back("pool of " + s.arguments + " " + s.results);
      }
      break;
    case 11:
      if (ok && img) img->allocated.push_back("permanent memory " + s.arguments);
      break;
    default: break;
  }
}

void BootMachine::Migrate() {
  // TemporaryRamMigration (PeiServices, TemporaryMemoryBase, PermanentMemoryBase,
  // CopySize), as OVMF's SEC does it: the heap half goes to the upper half
  // of the new range, the stack half to its lower half, the IDT moves with
  // the stack, and the call returns on the new stack.
  uint32_t esp = Esp();
  uint32_t ret = Read32(esp), from = Read32(esp + 8), to = Read32(esp + 16),
           copy = Read32(esp + 24);
  uint32_t half = copy / 2;
  if (uint64_t(from) + copy > kRamSize || uint64_t(to) + copy > kRamSize || copy == 0) {
    Stop("migration", "TemporaryRamMigration from " + Hex(from, 8) + " to " + Hex(to, 8) + " (" +
                          Hex(copy) + " bytes) reaches beyond RAM");
    return;
  }
  std::vector<uint8_t> heap(ram_ + from, ram_ + from + half),
      stack(ram_ + from + half, ram_ + from + copy);
  memcpy(ram_ + to + half, heap.data(), half);
  memcpy(ram_ + to, stack.data(), half);
  uint32_t offset = to - (from + half);
  uc_x86_mmr idtr{};
  uc_reg_read(uc_, UC_X86_REG_IDTR, &idtr);
  idtr.base = uint32_t(idtr.base) + offset;
  uc_reg_write(uc_, UC_X86_REG_IDTR, &idtr);
  uint32_t newEsp = esp + offset + 4, status = 0;
  uc_reg_write(uc_, UC_X86_REG_ESP, &newEsp);
  uc_reg_write(uc_, UC_X86_REG_EAX, &status);
  BootEvent e;
  e.kind = BootEventKind::kNote;
  e.image = ImageAt(ret);
  e.eip = ret;
  e.address = to;
  e.value = copy;
  Record(e);
  restart_ = true;
  restartAt_ = ret;
  uc_emu_stop(uc_);
}

void BootMachine::DecodeHobs(uint32_t list) {
  uint32_t at = list;
  for (int n = 0; n < 4096 && at && uint64_t(at) + 8 <= kRamSize; n++) {
    BootHob h;
    h.address = at;
    Read(at, &h.type, 2);
    Read(at + 2, &h.length, 2);
    auto q = [&](uint32_t off) {
      uint64_t v = 0;
      Read(at + off, &v, 8);
      return v;
    };
    switch (h.type) {
      case kHobHandoff:
        h.text = "handoff: boot mode " + BootModeName(Read32(at + 12)) + ", memory " +
                 Hex(q(24), 8) + "-" + Hex(q(16), 8) + ", free " + Hex(q(40), 8) + "-" +
                 Hex(q(32), 8) + ", end of list " + Hex(q(48), 8);
        break;
      case kHobMemoryAllocation:
        h.text = "memory allocation " + Hex(q(24), 8) + " " + Hex(q(32)) + " bytes " +
                 MemoryTypeName(Read32(at + 40));
        {
          Guid z{};
          Guid name{};
          Read(at + 8, name.data(), 16);
          if (name != z) h.text += " " + GuidName(name);
          if (h.length >= 72) h.text += ", module " + GuidAt(at + 48) + " entry " + Hex(q(64), 8);
        }
        break;
      case kHobResourceDescriptor:
        h.text = "resource type " + Dec(Read32(at + 24)) + " attributes " + Hex(Read32(at + 28), 8) +
                 " " + Hex(q(32), 8) + " " + Hex(q(40)) + " bytes";
        break;
      case kHobGuidExtension:
        h.text = "GUID " + GuidAt(at + 8) + ", " + Dec(h.length >= 24 ? h.length - 24 : 0) +
                 " bytes";
        break;
      case kHobFv: h.text = "firmware volume " + Hex(q(8), 8) + " " + Hex(q(16)) + " bytes"; break;
      case kHobCpu: {
        uint8_t b[2] = {};
        Read(at + 8, b, 2);
        h.text = "CPU: " + Dec(b[0]) + "-bit memory space, " + Dec(b[1]) + "-bit I/O space";
        break;
      }
      case kHobMemoryPool: h.text = "memory pool, " + Dec(h.length) + " bytes"; break;
      case 0x0009:
        h.text = "firmware volume 2 " + Hex(q(8), 8) + " " + Hex(q(16)) + " bytes, " +
                 GuidAt(at + 24) + " file " + GuidAt(at + 40);
        break;
      case 0x000C: h.text = "firmware volume 3 " + Hex(q(8), 8) + " " + Hex(q(16)) + " bytes"; break;
      case kHobEndOfList: h.text = "end of list"; break;
      default: h.text = "type " + Hex(h.type, 4); break;
    }
    hobs_.push_back(h);
    if (h.type == kHobEndOfList || h.length < 8) break;
    at += h.length;
  }
}

std::vector<std::pair<uint32_t, uint32_t>> BootMachine::Blocks() const {
  std::vector<std::pair<uint32_t, uint32_t>> out;
  for (const auto &b : blocks_) out.push_back({uint32_t(b.first >> 16), uint32_t(b.first & 0xFFFF)});
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace peimsim::boot
