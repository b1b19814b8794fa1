#include "ich9_lpc.h"

#include <cstdio>

#include "pm_timer.h"

namespace peimsim {
namespace {
bool Overlaps(uint32_t offset, int size, uint32_t reg, int regSize) {
  return offset < reg + uint32_t(regSize) && reg < offset + uint32_t(size);
}
// PM block registers whose bits the processor clears by writing 1.
bool StatusRegister(uint32_t offset) {
  return offset < 2 || (offset >= 0x20 && offset < 0x28) || (offset >= 0x34 && offset < 0x38);
}
}  // namespace

Ich9Lpc::Ich9Lpc(std::string name) : Device(std::move(name)), rcba_(kRcbaSize, 0) {
  InitHeader(config_, 0x8086, 0x2918, 0x06010002, 0x80);
  config_.Set(kPmbase, 4, 0x00000001, 0x0000FF80);  // bit 0: an I/O address
  config_.Set(kAcpiCntl, 1, 0, 0x87);               // ACPI_EN, SCI IRQ select
  for (uint32_t r : {0x60u, 0x61u, 0x62u, 0x63u, 0x68u, 0x69u, 0x6Au, 0x6Bu})
    config_.Set(r, 1, 0x80, 0x8F);  // PIRQx routing: disabled
  config_.Set(kGenPmcon1, 4, 0, 0xFFFFFFFF);
  config_.Set(kRcba, 4, 0, 0xFFFFC001);
}

uint32_t Ich9Lpc::ReadConfig(uint32_t offset, int size) const { return config_.Read(offset, size); }

void Ich9Lpc::WriteConfig(uint32_t offset, int size, uint32_t value, DeviceHost &host) {
  bool wasEnabled = PmEnabled();
  uint16_t wasBase = PmBase();
  config_.Write(offset, size, value);
  if ((Overlaps(offset, size, kPmbase, 4) || Overlaps(offset, size, kAcpiCntl, 1)) &&
      PmEnabled() && (!wasEnabled || wasBase != PmBase()))
    CheckPmBlock(host);
  if (Overlaps(offset, size, kRcba, 4) && RcbaEnabled() &&
      (RcbaBase() < 0xC0000000u || RcbaBase() > 0xFEFFC000u)) {
    char m[128];
    snprintf(m, sizeof m, "RCBA enabled at 0x%08X, outside the device window 0xC0000000-0xFEFFFFFF",
             RcbaBase());
    host.Misuse("device-range", m);
  }
}

void Ich9Lpc::CheckPmBlock(DeviceHost &host) {
  uint16_t base = PmBase();
  if (base == 0 || host.PortTaken(base, uint16_t(base + kPmBlockSize - 1), this)) {
    char m[160];
    snprintf(m, sizeof m,
             "ACPI PM block enabled at PMBASE 0x%04X-0x%04X, %s", base,
             base + kPmBlockSize - 1,
             base == 0 ? "port 0, where the DMA controller and the PIC's neighbours sit"
                       : "over the ports of another device");
    host.Misuse("device-range", m);
  }
}

bool Ich9Lpc::ClaimsPort(uint16_t port, int size) const {
  if (!PmEnabled()) return false;
  uint32_t base = PmBase();
  return port >= base && uint32_t(port) + size <= base + kPmBlockSize;
}

uint32_t Ich9Lpc::ReadPort(uint16_t port, int size, DeviceHost &host) {
  uint32_t offset = port - PmBase();
  uint32_t v = 0;
  for (int i = 0; i < size; i++) v |= uint32_t(pm_[offset + i]) << (8 * i);
  if (offset + size > kPmTimerOffset && offset < kPmTimerOffset + 4) {
    // The timer's bytes, wherever the access falls on them.
    uint32_t timer = PmTimerValue(host.Instructions());
    for (int i = 0; i < size; i++) {
      uint32_t at = offset + i;
      if (at >= kPmTimerOffset && at < kPmTimerOffset + 4) {
        v &= ~(0xFFu << (8 * i));
        v |= ((timer >> (8 * (at - kPmTimerOffset))) & 0xFF) << (8 * i);
      }
    }
  }
  return v;
}

void Ich9Lpc::WritePort(uint16_t port, int size, uint32_t value, DeviceHost &host) {
  uint32_t offset = port - PmBase();
  for (int i = 0; i < size; i++) {
    uint32_t at = offset + i;
    uint8_t b = uint8_t(value >> (8 * i));
    if (at >= kPmTimerOffset && at < kPmTimerOffset + 4) continue;  // read-only
    if (StatusRegister(at))
      pm_[at] &= uint8_t(~b);
    else
      pm_[at] = b;
  }
  // PM1_CNT with SLP_EN: the guest puts the machine to sleep.
  if (offset <= 5 && offset + size > 5 && (pm_[5] & 0x20)) {
    pm_[5] &= uint8_t(~0x20);
    char m[96];
    snprintf(m, sizeof m, "PM1_CNT SLP_EN set with SLP_TYP %u: the machine would sleep or power off",
             (pm_[5] >> 2) & 7);
    host.Misuse("sleep", m);
  }
}

std::string Ich9Lpc::PortName(uint16_t port) const {
  static const char *const kNames[] = {"PM1_STS", "PM1_STS", "PM1_EN", "PM1_EN",
                                       "PM1_CNT", "PM1_CNT", "PM1_CNT", "PM1_CNT",
                                       "PM_TMR",  "PM_TMR",  "PM_TMR",  "PM_TMR"};
  uint32_t offset = port - PmBase();
  if (offset < 12) return kNames[offset];
  if (offset >= 0x20 && offset < 0x28) return "GPE0";
  if (offset >= 0x30 && offset < 0x34) return "SMI_EN";
  if (offset >= 0x34 && offset < 0x38) return "SMI_STS";
  return "PM block";
}

bool Ich9Lpc::ClaimsMemory(uint32_t address, int size) const {
  return RcbaEnabled() && address >= RcbaBase() &&
         uint64_t(address) + size <= uint64_t(RcbaBase()) + kRcbaSize;
}

uint64_t Ich9Lpc::ReadMemory(uint32_t address, int size, DeviceHost &) {
  uint64_t v = 0;
  for (int i = 0; i < size; i++) v |= uint64_t(rcba_[address - RcbaBase() + i]) << (8 * i);
  return v;
}

void Ich9Lpc::WriteMemory(uint32_t address, int size, uint64_t value, DeviceHost &) {
  for (int i = 0; i < size; i++) rcba_[address - RcbaBase() + i] = uint8_t(value >> (8 * i));
}

}  // namespace peimsim
