// The processor's accesses to the device models: memory-mapped registers in
// the device window and I/O ports, handed to the chipset and traced.
#include <unicorn/unicorn.h>

#include <algorithm>
#include <cstring>

#include "platform.h"

namespace peimsim {

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
    uint64_t v = DeviceMemoryAccess(write, address, size, value, CurrentEip());
    if (!write) {
      uint32_t n = uint32_t(std::min<uint64_t>(size, kDeviceWindowEnd - address));
      memcpy(devices_ + (address - kDeviceWindowBase), &v, n);
    }
    return;
  }
  if (!write) return;  // reads of RAM and the image are free
  memoryWrites_++;
  if (address >= kRamEnd) return;
  MarkDirty(address, uint32_t(size));
  // Where images lie in RAM, a write may change code already decoded.
  if (address - kRamImageBase < kRamImageEnd - kRamImageBase) CodeWritten(address, uint32_t(size));
  if (imageInRam_ && InImage(address) && !InWritableSection(address, uint32_t(size)))
    AddViolation("write-image", Bytes(size) + " write at " + Hex(address, 8) + " (" +
                                    Where(address) + "), outside the image's writable sections");
  else if (!WritableByModule(address, uint32_t(size)))
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

uint64_t Platform::DeviceMemoryAccess(bool write, uint32_t address, int size, uint64_t value,
                                      uint32_t eip) {
  Event e;
  e.kind = EventKind::kMemory;
  e.phase = phase_;
  e.write = write;
  e.width = uint8_t(size * 8);
  e.address = address;
  e.eip = eip;
  e.target = chipset_.DecodeMemory(address, size);
  chipset_.SetClock(instructions_);
  if (write) {
    e.value = value;
    chipset_.MemoryWrite(e.target, size, value);
  } else {
    e.value = chipset_.MemoryRead(e.target, size);
  }
  Record(e);
  if (chipset_.HasMisuse()) DeviceMisused(eip);
  if (!e.target.claimed) {
    AddViolationAt("unclaimed-mmio", std::string(write ? "write" : "read") + " of " + Bytes(size) +
                                         " at " + Hex(address, 8) + ", which no device " +
                                         (options_.anyPeim ? "of this platform claims; the run "
                                                             "stops there"
                                                           : "claims"),
                   eip);
    // As for ports: any PEIM that expects a device the platform does not
    // model stops there, with the device's address named.
    if (options_.anyPeim) {
      stopped_ = true;
      uc_emu_stop(uc_);
    }
  }
  if (phase_ == Phase::kConsumer)
    AddViolation("consumer-hardware", "GetUsbController touched memory-mapped address " +
                                          Hex(address, 8));
  return e.value;
}

uint32_t Platform::PortAccess(bool write, uint16_t port, int size, uint32_t value, uint32_t eip) {
  Event e;
  e.kind = EventKind::kPort;
  e.phase = phase_;
  e.write = write;
  e.width = uint8_t(size * 8);
  e.address = port;
  e.eip = eip;
  PortResult r;
  chipset_.SetClock(instructions_);
  if (write) chipset_.PortWrite(port, size, value, r);
  else value = chipset_.PortRead(port, size, r);
  e.value = value;
  e.portKind = r.kind;
  e.configAddress = r.configAddress;
  e.target = r.target;
  Record(e);
  CheckPort(e);
  if (chipset_.HasMisuse()) DeviceMisused(eip);
  // A REP INS/OUTS stays in one block: the clock is read here too.
  if ((++blocksSinceClock_ & 0xFFF) == 0) CheckClock();
  return value;
}

void Platform::OnPortIn(uint16_t port, int size, uint32_t &value) {
  value = PortAccess(false, port, size, 0, PortInstruction());
}

void Platform::OnPortOut(uint16_t port, int size, uint32_t value) {
  PortAccess(true, port, size, value, PortInstruction());
}

void Platform::DeviceMisused(uint32_t eip) {
  // A device programmed out of its range (or asked to reset the machine):
  // named, and the run stops there, as the guest's next steps would rest on
  // a machine state the platform does not have.
  for (const DeviceMisuse &m : chipset_.TakeMisuse()) AddViolationAt(m.kind, m.message, eip);
  if (!stopped_) {
    stopped_ = true;
    uc_emu_stop(uc_);
  }
}

// ---- The processor model (--platform q35) -----------------------------------

void Platform::OnCpuid() {
  chipset_.processor().AnswerCpuid(uc_);
}

bool Platform::CarriedOutByProcessor(const char *system) const {
  return initialChipset_.HasProcessor() && system &&
         (strcmp(system, "WRMSR") == 0 || strcmp(system, "MOV to CR0") == 0);
}

void Platform::OnProcessorInstruction(uint32_t address) {
  // RDMSR (0F 32), WRMSR (0F 30) and MOV to CR0 (0F 22 /0, from a register)
  // are carried out on the model and skipped: the emulator's own MSRs are
  // not the machine's, and only CR0's cache bits may change.
  const uint8_t *code = Host(address, 3);
  if (!code || code[0] != 0x0F) return;
  bool rdmsr = code[1] == 0x32, wrmsr = code[1] == 0x30;
  bool movCr0 = code[1] == 0x22 && (code[2] & 0xF8) == 0xC0;
  if (!rdmsr && !wrmsr && !movCr0) return;
  Processor &cpu = chipset_.processor();
  uint32_t eip = address + (movCr0 ? 3 : 2);
  if (movCr0) {
    static const int kRegs[] = {UC_X86_REG_EAX, UC_X86_REG_ECX, UC_X86_REG_EDX, UC_X86_REG_EBX,
                                UC_X86_REG_ESP, UC_X86_REG_EBP, UC_X86_REG_ESI, UC_X86_REG_EDI};
    uint32_t value = 0, cr0 = 0;
    uc_reg_read(uc_, kRegs[code[2] & 7], &value);
    uc_reg_read(uc_, UC_X86_REG_CR0, &cr0);
    constexpr uint32_t kCacheBits = 0x60000000;  // CD, NW
    if ((value ^ cr0) & ~kCacheBits) {
      if (!stopped_) {
        AddViolationAt("processor-control",
                       "MOV to CR0 " + Hex(value, 8) + " changes more than its cache bits (CR0 " +
                           Hex(cr0, 8) + "): mode and paging belong to the platform; the run "
                           "stops before it",
                       address);
        stopped_ = true;
        uc_emu_stop(uc_);
      }
      return;
    }
    cpu.cacheBits = value & kCacheBits;
  } else {
    uint32_t msr = 0, eax = 0, edx = 0;
    uc_reg_read(uc_, UC_X86_REG_ECX, &msr);
    if (rdmsr) {
      bool known = false;
      uint64_t v = cpu.ReadMsr(msr, chipset_.Clock(instructions_), known);
      eax = uint32_t(v);
      edx = uint32_t(v >> 32);
      uc_reg_write(uc_, UC_X86_REG_EAX, &eax);
      uc_reg_write(uc_, UC_X86_REG_EDX, &edx);
    } else {
      uc_reg_read(uc_, UC_X86_REG_EAX, &eax);
      uc_reg_read(uc_, UC_X86_REG_EDX, &edx);
      std::string why;
      if (!cpu.WriteMsr(msr, uint64_t(edx) << 32 | eax, why) && !stopped_) {
        AddViolationAt("processor-control", why + "; the run stops", address);
        stopped_ = true;
        uc_emu_stop(uc_);
        return;
      }
    }
  }
  uc_reg_write(uc_, UC_X86_REG_EIP, &eip);
}

}  // namespace peimsim
