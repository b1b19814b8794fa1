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
  if (write) {
    e.value = value;
    chipset_.MemoryWrite(e.target, size, value);
  } else {
    e.value = chipset_.MemoryRead(e.target, size);
  }
  Record(e);
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
  if (write) chipset_.PortWrite(port, size, value, r);
  else value = chipset_.PortRead(port, size, r);
  e.value = value;
  e.portKind = r.kind;
  e.configAddress = r.configAddress;
  e.target = r.target;
  Record(e);
  CheckPort(e);
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

}  // namespace peimsim
