// The q35 device models (peim-sim --platform q35) under a hostile guest:
// arbitrary port, configuration and memory-mapped accesses, fw_cfg DMA
// structures in guest RAM and clock steps, decoded from the input. Nothing
// may fault on the host; a misuse is named in one printable line; the PM
// timer keeps to its 24 bits.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "chipset.h"
#include "devices/ich9_lpc.h"
#include "fuzz_check.h"
#include "platform_file.h"

using namespace peimsim;

namespace {

constexpr uint32_t kRamBase = 0x10000, kRamSize = 0x10000;

struct Reader {
  const uint8_t *data;
  size_t size, at = 0;
  bool More() const { return at < size; }
  uint32_t Take(int bytes) {
    uint32_t v = 0;
    for (int i = 0; i < bytes; i++) v |= uint32_t(at < size ? data[at++] : 0) << (8 * i);
    return v;
  }
};

int Width(uint32_t code) { return code % 3 == 0 ? 1 : code % 3 == 1 ? 2 : 4; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const PlatformDescription &q35 = Q35Platform();
  fuzzcheck::Check(!q35.functions.empty());
  std::vector<uint8_t> ram(kRamSize, 0);
  Chipset chipset(q35);
  chipset.SetGuestMemory([&](uint32_t address, void *bytes, uint32_t n, bool write) {
    if (address < kRamBase || uint64_t(address) + n > kRamBase + kRamSize) return false;
    if (write)
      memcpy(&ram[address - kRamBase], bytes, n);
    else
      memcpy(bytes, &ram[address - kRamBase], n);
    return true;
  });
  Reader in{data, size};
  uint64_t clock = 0;
  PortResult r;
  for (int steps = 0; in.More() && steps < 4096; steps++) {
    uint32_t op = in.Take(1);
    switch (op % 8) {
      case 0: {  // port write
        uint16_t port = uint16_t(in.Take(2));
        int width = Width(in.Take(1));
        chipset.PortWrite(port, width, in.Take(4), r);
        break;
      }
      case 1: {  // port read
        uint16_t port = uint16_t(in.Take(2));
        int width = Width(in.Take(1));
        uint32_t v = chipset.PortRead(port, width, r);
        fuzzcheck::Check(width == 4 || v < (1u << (8 * width)));
        break;
      }
      case 2: {  // configuration write to the host bridge or the LPC bridge
        uint32_t offset = in.Take(1);
        uint32_t function = op & 0x80 ? 0x8000F800u : 0x80000000u;
        int width = Width(in.Take(1));
        chipset.PortWrite(kConfigAddressPort, 4, function | (offset & 0xFC), r);
        chipset.PortWrite(uint16_t(kConfigDataPort + (offset & (4 - width))), width, in.Take(4), r);
        break;
      }
      case 3: {  // memory-mapped write in the device window
        uint32_t address = 0xC0000000u + in.Take(4) % 0x3F000000u;
        int width = Width(in.Take(1));
        Target t = chipset.DecodeMemory(address, width);
        chipset.MemoryWrite(t, width, in.Take(4));
        break;
      }
      case 4: {  // memory-mapped read, near the fixed devices
        uint32_t address = (op & 0x80 ? 0xFEE00000u : 0xFED40000u) + in.Take(2) % 0x6000;
        int width = Width(in.Take(1));
        Target t = chipset.DecodeMemory(address, width);
        chipset.MemoryRead(t, width);
        break;
      }
      case 5:  // time passes, or a new call starts from 0
        clock = op & 0x80 ? in.Take(2) : clock + in.Take(4);
        chipset.SetClock(clock);
        break;
      case 6: {  // a fw_cfg DMA access structure in RAM, started
        uint32_t offset = in.Take(2) % (kRamSize - 16);
        for (int i = 0; i < 16; i++) ram[offset + i] = uint8_t(in.Take(1));
        uint32_t address = kRamBase + offset;
        if (op & 0x80) address = in.Take(4);  // anywhere at all
        uint32_t be = address >> 24 | (address >> 8 & 0xFF00) | (address << 8 & 0xFF0000) |
                      address << 24;
        chipset.PortWrite(0x514, 4, 0, r);
        chipset.PortWrite(0x518, 4, be, r);
        break;
      }
      default: {  // the PM timer, when the block answers
        PortResult pr;
        uint32_t pmbase = 0;
        chipset.PortWrite(kConfigAddressPort, 4, 0x8000F840u, pr);
        pmbase = chipset.PortRead(kConfigDataPort, 4, pr) & 0xFF80;
        uint32_t v = chipset.PortRead(uint16_t(pmbase + Ich9Lpc::kPmTimerOffset), 4, pr);
        if (pr.kind == PortKind::kDevice && chipset.Model(pr.target.region).Name() == "LPC")
          fuzzcheck::Check(v <= 0xFFFFFF);
        break;
      }
    }
    for (const DeviceMisuse &m : chipset.TakeMisuse())
      fuzzcheck::Check(!m.kind.empty() && !m.message.empty() && fuzzcheck::Printable(m.message));
  }
  Chipset copy = chipset;  // what Reset does before each dispatch
  copy = Chipset(q35);
  return 0;
}
