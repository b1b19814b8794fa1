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

}  // namespace peimsim
