#include "chipset.h"

#include <cctype>
#include <cstdio>
#include <random>

namespace peimsim {
namespace {

constexpr uint16_t kVendorId = 0x1F1F;
constexpr uint16_t kEhciDeviceId = 0x0E20;
constexpr uint16_t kOhciDeviceId = 0x0E10;
constexpr uint32_t kEhciBarSize = 0x100;
constexpr uint32_t kOhciBarSize = 0x1000;
constexpr uint16_t kCommandWriteMask = 0x0556;  // memory, bus master, MWI, parity, SERR, INTx off
constexpr uint16_t kStatusDefault = 0x0200;

struct Layout {
  const char *role;
  uint8_t device, function;
  bool ehci;
};
const Layout kLayout[kFunctionCount] = {
    {"EHCI 0", 0x12, 2, true},  {"EHCI 1", 0x13, 2, true},  {"EHCI 2", 0x16, 2, true},
    {"OHCI 0", 0x12, 0, false}, {"OHCI 1", 0x13, 0, false}, {"OHCI 2", 0x16, 0, false},
    {"OHCI 3", 0x14, 5, false},
};

void Put(uint8_t *p, int width, uint32_t v) {
  for (int i = 0; i < width / 8; i++) p[i] = uint8_t(v >> (8 * i));
}

uint64_t AllOnes(int size) { return size >= 8 ? ~0ull : (1ull << (8 * size)) - 1; }

// Whether a register of `width` bits at `offset` lies inside a space of
// `limit` bytes. The sum is taken in 64 bits: an offset near 4 GiB must not
// wrap around to a small one.
bool CheckWidth(uint32_t offset, int width, uint32_t limit, const char *space,
                std::string &error) {
  if (width != 8 && width != 16 && width != 32) {
    error = "width must be 8, 16 or 32";
    return false;
  }
  if (uint64_t(offset) + uint64_t(width / 8) > limit) {
    char text[160];
    snprintf(text, sizeof text, "the %d-bit register at +0x%X lies outside the %u-byte %s",
             width, offset, limit, space);
    error = text;
    return false;
  }
  return true;
}

// One to `most` hex digits at text[at], nothing else.
bool HexField(const std::string &text, size_t &at, size_t most, unsigned &value) {
  size_t start = at;
  value = 0;
  while (at < text.size() && at - start < most && isxdigit((unsigned char)text[at])) {
    char c = text[at++];
    value = value * 16 + unsigned(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
  }
  return at > start;
}

}  // namespace

bool ParseBdf(const std::string &text, unsigned &bus, unsigned &dev, unsigned &fn) {
  size_t at = 0;
  if (!HexField(text, at, 2, bus) || at >= text.size() || text[at++] != ':') return false;
  if (!HexField(text, at, 2, dev) || at >= text.size() || text[at++] != '.') return false;
  if (!HexField(text, at, 1, fn) || at != text.size()) return false;
  return dev < 32 && fn < 8;
}

uint32_t PciFunction::Config32(uint32_t offset) const {
  return uint32_t(config[offset]) | uint32_t(config[offset + 1]) << 8 |
         uint32_t(config[offset + 2]) << 16 | uint32_t(config[offset + 3]) << 24;
}

std::string PciFunction::Bdf() const {
  char s[16];
  snprintf(s, sizeof s, "%02X:%02X.%X", bus, device, function);
  return s;
}

Chipset::Chipset() {
  for (int i = 0; i < kFunctionCount; i++) {
    PciFunction &f = functions_[i];
    const Layout &l = kLayout[i];
    f.role = l.role;
    f.device = l.device;
    f.function = l.function;
    f.ehci = l.ehci;
    f.barSize = l.ehci ? kEhciBarSize : kOhciBarSize;
    uint8_t *c = f.config.data();
    uint8_t *m = f.configWriteMask.data();
    Put(c + 0x00, 16, kVendorId);
    Put(c + 0x02, 16, l.ehci ? kEhciDeviceId : kOhciDeviceId);
    Put(m + 0x04, 16, kCommandWriteMask);
    Put(c + 0x06, 16, kStatusDefault);
    Put(c + 0x08, 32, (0x0C03u << 16 | (l.ehci ? 0x20u : 0x10u) << 8) | 0x00);
    m[0x0C] = m[0x0D] = 0xFF;  // cache-line size, latency timer
    c[0x0E] = 0x80;            // multi-function device
    Put(m + 0x10, 32, ~(f.barSize - 1) & ~0xFu);  // 32-bit non-prefetchable memory BAR
    Put(c + 0x2C, 16, kVendorId);
    Put(c + 0x2E, 16, l.ehci ? kEhciDeviceId : kOhciDeviceId);
    c[0x3C] = 0xFF;
    m[0x3C] = 0xFF;
    c[0x3D] = 0x01;  // INTA#
    for (int r = 0x40; r < 0x100; r++) m[r] = 0xFF;  // chipset-specific, plain storage

    f.regs.assign(f.barSize, 0);
    f.regsWriteMask.assign(f.barSize, 0xFF);
    if (l.ehci) {
      Put(&f.regs[0x00], 32, 0x01000020);  // CAPLENGTH 0x20, HCIVERSION 1.00
      Put(&f.regs[0x04], 32, 0x00000004);  // HCSPARAMS: 4 ports
      Put(&f.regs[0x08], 32, 0x00000006);  // HCCPARAMS
      for (int r = 0; r < 0x20; r++) f.regsWriteMask[r] = 0;  // capability registers
    } else {
      Put(&f.regs[0x00], 32, 0x00000010);  // HcRevision 1.0
      for (int r = 0; r < 4; r++) f.regsWriteMask[r] = 0;
    }
  }
}

int Chipset::FindFunction(uint32_t bus, uint32_t device, uint32_t function) const {
  for (int i = 0; i < kFunctionCount; i++)
    if (functions_[i].bus == bus && functions_[i].device == device &&
        functions_[i].function == function)
      return i;
  return kNoDevice;
}

int Chipset::FindFunction(const std::string &bdf) const {
  unsigned bus, dev, fn;
  if (!ParseBdf(bdf, bus, dev, fn)) return kNoDevice;
  return FindFunction(bus, dev, fn);
}

uint32_t Chipset::ConfigRead(int fn, uint32_t offset, int size) const {
  uint32_t v = 0;
  for (int i = 0; i < size; i++) v |= uint32_t(functions_[fn].config[offset + i]) << (8 * i);
  return v;
}

void Chipset::ConfigWrite(int fn, uint32_t offset, int size, uint32_t value) {
  PciFunction &f = functions_[fn];
  for (int i = 0; i < size; i++) {
    uint8_t mask = f.configWriteMask[offset + i];
    f.config[offset + i] = uint8_t((f.config[offset + i] & ~mask) | (uint8_t(value >> (8 * i)) & mask));
  }
}

PortResult Chipset::DecodeDataPort(uint16_t port, int size) const {
  PortResult r;
  r.configAddress = configAddress_;
  uint32_t lane = port - kConfigDataPort;
  if (lane + size > 4) {
    r.kind = PortKind::kConfigBadWidth;
  } else if (!(configAddress_ & kConfigEnable)) {
    r.kind = PortKind::kConfigDisabled;
  } else {
    r.kind = PortKind::kConfigData;
    r.target.device = FindFunction(configAddress_ >> 16 & 0xFF, configAddress_ >> 11 & 0x1F,
                                   configAddress_ >> 8 & 7);
    r.target.offset = (configAddress_ & 0xFC) + lane;
    r.target.claimed = r.target.device != kNoDevice;
  }
  return r;
}

uint32_t Chipset::PortRead(uint16_t port, int size, PortResult &result) {
  if (port >= kConfigAddressPort && port < kConfigDataPort) {
    result = PortResult();
    result.configAddress = configAddress_;
    if (port == kConfigAddressPort && size == 4) {
      result.kind = PortKind::kConfigAddress;
      return configAddress_;
    }
    result.kind = PortKind::kConfigBadWidth;
    return uint32_t(AllOnes(size));
  }
  if (port >= kConfigDataPort && port <= kConfigDataPort + 3) {
    result = DecodeDataPort(port, size);
    if (result.target.claimed) return ConfigRead(result.target.device, result.target.offset, size);
    return uint32_t(AllOnes(size));
  }
  result = PortResult();
  result.configAddress = configAddress_;
  return uint32_t(AllOnes(size));
}

void Chipset::PortWrite(uint16_t port, int size, uint32_t value, PortResult &result) {
  if (port >= kConfigAddressPort && port < kConfigDataPort) {
    result = PortResult();
    result.configAddress = configAddress_;
    if (port == kConfigAddressPort && size == 4) {
      result.kind = PortKind::kConfigAddress;
      configAddress_ = value;
      result.configAddress = value;
    } else {
      result.kind = PortKind::kConfigBadWidth;
    }
    return;
  }
  if (port >= kConfigDataPort && port <= kConfigDataPort + 3) {
    result = DecodeDataPort(port, size);
    if (result.target.claimed) ConfigWrite(result.target.device, result.target.offset, size, value);
    return;
  }
  result = PortResult();
  result.configAddress = configAddress_;
}

Target Chipset::DecodeMemory(uint32_t address, int size) const {
  Target t;
  uint64_t end = uint64_t(address) + size;
  if (address >= kChipsetRegBase && end <= uint64_t(kChipsetRegBase) + kChipsetRegCount) {
    t.device = kChipsetDevice;
    t.offset = address - kChipsetRegBase;
    t.claimed = true;
    return t;
  }
  for (int i = 0; i < kFunctionCount; i++) {
    const PciFunction &f = functions_[i];
    if (!f.Decodes()) continue;
    uint32_t bar = f.Bar();
    if (address >= bar && end <= uint64_t(bar) + f.barSize) {
      t.device = i;
      t.offset = address - bar;
      t.claimed = true;
      return t;
    }
  }
  return t;
}

uint64_t Chipset::MemoryRead(const Target &t, int size) const {
  if (!t.claimed) return AllOnes(size);
  const uint8_t *p = t.device == kChipsetDevice ? &chipset_[t.offset] : &functions_[t.device].regs[t.offset];
  uint64_t v = 0;
  for (int i = 0; i < size; i++) v |= uint64_t(p[i]) << (8 * i);
  return v;
}

void Chipset::MemoryWrite(const Target &t, int size, uint64_t value) {
  if (!t.claimed) return;
  if (t.device == kChipsetDevice) {
    for (int i = 0; i < size; i++) chipset_[t.offset + i] = uint8_t(value >> (8 * i));
    return;
  }
  PciFunction &f = functions_[t.device];
  for (int i = 0; i < size; i++) {
    uint8_t mask = f.regsWriteMask[t.offset + i];
    uint8_t &r = f.regs[t.offset + i];
    r = uint8_t((r & ~mask) | (uint8_t(value >> (8 * i)) & mask));
  }
}

bool Chipset::SetConfig(const std::string &bdf, uint32_t offset, int width, uint32_t value,
                        std::string &error) {
  int fn = FindFunction(bdf);
  if (fn == kNoDevice) {
    error = "no modelled PCI function " + bdf;
    return false;
  }
  if (!CheckWidth(offset, width, 256, "configuration space", error)) return false;
  PciFunction &f = functions_[fn];
  Put(&f.config[offset], width, value);
  // BAR0's type and size bits are wired to 0; the rest is taken as given.
  for (uint32_t r = 0x10; r < 0x14; r++) f.config[r] &= f.configWriteMask[r];
  return true;
}

bool Chipset::SetFunctionRegister(const std::string &bdf, uint32_t offset, int width,
                                  uint32_t value, std::string &error) {
  int fn = FindFunction(bdf);
  if (fn == kNoDevice) {
    error = "no modelled PCI function " + bdf;
    return false;
  }
  if (!CheckWidth(offset, width, functions_[fn].barSize, "register file", error)) return false;
  Put(&functions_[fn].regs[offset], width, value);
  return true;
}

bool Chipset::SetChipsetRegister(uint32_t address, int width, uint32_t value, std::string &error) {
  if (address < kChipsetRegBase || address - kChipsetRegBase >= kChipsetRegCount) {
    error = "no chipset register at this address (they are 0xFED803ED-0xFED803F1)";
    return false;
  }
  if (!CheckWidth(address - kChipsetRegBase, width, kChipsetRegCount,
                  "chipset register block at 0xFED803ED", error))
    return false;
  Put(&chipset_[address - kChipsetRegBase], width, value);
  return true;
}

void Chipset::Randomize(uint32_t start) {
  std::mt19937 gen(start);
  for (PciFunction &f : functions_) {
    for (int r = 0; r < 256; r++)
      f.config[r] = uint8_t((f.config[r] & ~f.configWriteMask[r]) | (gen() & f.configWriteMask[r]));
    for (uint32_t r = 0; r < f.barSize; r++)
      f.regs[r] = uint8_t((f.regs[r] & ~f.regsWriteMask[r]) | (gen() & f.regsWriteMask[r]));
  }
  for (uint8_t &b : chipset_) b = uint8_t(gen());
}

std::string Chipset::ConfigRegisterName(uint32_t offset, int width) {
  struct Name {
    uint32_t offset;
    int width;
    const char *name;
  };
  static const Name kNames[] = {
      {0x00, 16, "VendorId"},       {0x02, 16, "DeviceId"},    {0x00, 32, "VendorId/DeviceId"},
      {0x04, 8, "Command"},         {0x04, 16, "Command"},     {0x04, 32, "Command/Status"},
      {0x05, 8, "Command (high)"},  {0x06, 16, "Status"},      {0x08, 8, "RevisionId"},
      {0x08, 32, "RevisionId/ClassCode"}, {0x0C, 8, "CacheLineSize"},
      {0x0C, 16, "CacheLineSize/LatencyTimer"}, {0x0C, 32, "CacheLineSize..BIST"},
      {0x0D, 8, "LatencyTimer"},    {0x0E, 8, "HeaderType"},   {0x10, 32, "BAR0"},
      {0x14, 32, "BAR1"},           {0x18, 32, "BAR2"},        {0x1C, 32, "BAR3"},
      {0x20, 32, "BAR4"},           {0x24, 32, "BAR5"},        {0x2C, 32, "Subsystem"},
      {0x3C, 8, "InterruptLine"},   {0x3D, 8, "InterruptPin"},
  };
  for (const Name &n : kNames)
    if (n.offset == offset && n.width == width) return n.name;
  return "";
}

std::string Chipset::EhciRegisterName(uint32_t offset, int width) {
  if (offset == 0 && width == 32) return "CAPLENGTH/HCIVERSION";
  if (offset == 0 && width == 8) return "CAPLENGTH";
  if (offset == 2 && width == 16) return "HCIVERSION";
  if (offset == 4 && width == 32) return "HCSPARAMS";
  if (offset == 8 && width == 32) return "HCCPARAMS";
  static const char *const kOperational[] = {"USBCMD", "USBSTS", "USBINTR", "FRINDEX",
                                             "CTRLDSSEGMENT", "PERIODICLISTBASE",
                                             "ASYNCLISTADDR"};
  if (width == 32 && offset >= 0x20 && offset < 0x3C && offset % 4 == 0)
    return kOperational[(offset - 0x20) / 4];
  if (width == 32 && offset == 0x60) return "CONFIGFLAG";
  return "";
}

std::string DescribeDefaultChipset() {
  Chipset c;
  std::string s;
  char line[400];
  s += "  PCI configuration mechanism #1: CONFIG_ADDRESS at 0xCF8 (32-bit accesses only),\n"
       "  CONFIG_DATA at 0xCFC-0xCFF (byte lanes; an access must stay inside the dword).\n"
       "  Bus 0 functions (every other function is absent and reads all ones):\n";
  for (int i = 0; i < kFunctionCount; i++) {
    const PciFunction &f = c.Function(i);
    snprintf(line, sizeof line,
             "    %s  %-6s  vendor 0x%04X device 0x%04X class 0x%06X  BAR0 0x%08X (%u bytes)\n",
             f.Bdf().c_str(), f.role.c_str(), f.Config32(0) & 0xFFFF, f.Config32(0) >> 16,
             f.Config32(8) >> 8, f.Bar(), f.barSize);
    s += line;
  }
  snprintf(line, sizeof line,
           "  Every function: Command 0x0000 (writable bits 0x%04X; bit 1 turns on decoding of\n"
           "  BAR0), Status 0x%04X, CacheLineSize 0, LatencyTimer 0, HeaderType 0x80,\n"
           "  InterruptLine 0xFF, InterruptPin 1, 0x40-0xFF plain read/write storage, all 0.\n",
           kCommandWriteMask, kStatusDefault);
  s += line;
  s += "  EHCI register file (256 bytes at BAR0): +0x00 0x01000020 (CAPLENGTH 0x20,\n"
       "  HCIVERSION 0x0100), +0x04 HCSPARAMS 0x00000004, +0x08 HCCPARAMS 0x00000006, read-only;\n"
       "  +0x20-0xFF plain read/write storage, all 0.\n"
       "  OHCI register file (4096 bytes at BAR0): +0x00 HcRevision 0x00000010, read-only;\n"
       "  the rest plain read/write storage, all 0.\n"
       "  Chipset byte registers 0xFED803ED-0xFED803F1: plain read/write storage, all 0.\n"
       "  Any other memory-mapped address reads all ones and drops writes.\n";
  return s;
}

}  // namespace peimsim
