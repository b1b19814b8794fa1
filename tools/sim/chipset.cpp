#include "chipset.h"

#include <cctype>
#include <cstdio>
#include <random>

#include "devices/cmos.h"
#include "devices/cpu_hotplug.h"
#include "devices/ich9_lpc.h"
#include "devices/lapic.h"
#include "devices/pic.h"
#include "devices/port92.h"
#include "devices/q35_mch.h"
#include "devices/tpm_absent.h"

namespace peimsim {
namespace {

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

Chipset::Chipset() : Chipset(DefaultPlatform()) {}

namespace {

// The machine's memory when the file does not say (QEMU's -m 256).
constexpr uint32_t kDefaultRamBytes = 256u << 20;

std::unique_ptr<Device> MakeModel(const std::string &kind, const std::string &name,
                                  const PlatformDescription &d) {
  uint32_t ram = d.ramBytes ? d.ramBytes : kDefaultRamBytes;
  if (kind == "q35-mch") return std::make_unique<Q35Mch>(name, ram);
  if (kind == "ich9-lpc") return std::make_unique<Ich9Lpc>(name);
  if (kind == "cmos") return std::make_unique<Cmos>(name, ram);
  if (kind == "port92") return std::make_unique<Port92>(name);
  if (kind == "pic") return std::make_unique<Pic>(name);
  if (kind == "cpu-hotplug") return std::make_unique<CpuHotplug>(name);
  if (kind == "fw-cfg") return std::make_unique<FwCfg>(name, d.fwCfg);
  if (kind == "lapic") return std::make_unique<LocalApic>(name);
  if (kind == "tpm-absent") return std::make_unique<TpmAbsent>(name);
  return nullptr;
}

}  // namespace

Chipset::Chipset(const Chipset &o)
    : functions_(o.functions_), regions_(o.regions_), processor_(o.processor_),
      guestMemory_(o.guestMemory_), misuse_(o.misuse_), clockBase_(o.clockBase_),
      lastCall_(o.lastCall_), console_(o.console_), consolePort_(o.consolePort_),
      configAddress_(o.configAddress_), layouts_(o.layouts_) {
  models_.reserve(o.models_.size());
  for (const auto &m : o.models_) models_.push_back(m->Clone());
}

Chipset &Chipset::operator=(const Chipset &o) {
  if (this == &o) return *this;
  functions_ = o.functions_;
  regions_ = o.regions_;
  // The same models as before (a dispatch's reset): copied in place.
  models_.resize(o.models_.size());
  for (size_t i = 0; i < o.models_.size(); i++) models_[i] = o.models_[i]->Clone();
  processor_ = o.processor_;
  guestMemory_ = o.guestMemory_;
  misuse_ = o.misuse_;
  clockBase_ = o.clockBase_;
  lastCall_ = o.lastCall_;
  console_ = o.console_;
  consolePort_ = o.consolePort_;
  configAddress_ = o.configAddress_;
  layouts_ = o.layouts_;
  return *this;
}

Chipset::Chipset(const PlatformDescription &d)
    : regions_(d.regions), console_(d.console), consolePort_(d.consolePort),
      layouts_(std::make_shared<const std::vector<RegisterLayout>>(d.registers)) {
  if (d.processor) processor_.emplace();
  functions_.reserve(d.functions.size());
  for (const FunctionDescription &from : d.functions) {
    PciFunction f;
    f.role = from.name;
    f.bus = from.bus;
    f.device = from.device;
    f.function = from.function;
    f.ehci = from.ehci;
    f.barSize = from.barSize;
    f.config = from.config;
    f.configWriteMask = from.configWriteMask;
    f.regs = from.regs;
    f.regsWriteMask = from.regsWriteMask;
    if (!from.model.empty()) {
      if (auto m = MakeModel(from.model, from.name, d)) {
        f.model = int(models_.size());
        for (const FunctionDescription::Write &w : from.writes)
          m->WriteConfig(w.offset, w.bytes, w.value, *this);
        models_.push_back(std::move(m));
      }
    }
    functions_.push_back(std::move(f));
  }
  for (const ModelDescription &m : d.models)
    if (auto model = MakeModel(m.kind, m.name, d)) models_.push_back(std::move(model));
}

int Chipset::ModelPort(uint16_t port, int size, PortResult &result) const {
  for (size_t i = 0; i < models_.size(); i++) {
    if (!models_[i]->ClaimsPort(port, size)) continue;
    result.kind = PortKind::kDevice;
    result.target.device = kModelDevice;
    result.target.region = int(i);
    result.target.claimed = true;
    return int(i);
  }
  return -1;
}

bool Chipset::PortTaken(uint16_t first, uint16_t last, const void *except) const {
  if (last >= kConfigAddressPort && first <= kConfigDataPort + 3) return true;
  if (console_ && consolePort_ >= first && consolePort_ <= last) return true;
  for (const auto &m : models_) {
    if (m.get() == except) continue;
    for (uint32_t p = first; p <= last; p++)
      if (m->ClaimsPort(uint16_t(p), 1)) return true;
  }
  return false;
}

std::string Chipset::ModelPortName(int index, uint16_t port) const {
  std::string name = models_[index]->PortName(port);
  return (name.empty() ? "port" : name) + " (" + models_[index]->Name() + ")";
}

int Chipset::FindFunction(uint32_t bus, uint32_t device, uint32_t function) const {
  for (int i = 0; i < FunctionCount(); i++)
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
  if (functions_[fn].model >= 0) return models_[functions_[fn].model]->ReadConfig(offset, size);
  uint32_t v = 0;
  for (int i = 0; i < size; i++) v |= uint32_t(functions_[fn].config[offset + i]) << (8 * i);
  return v;
}

void Chipset::ConfigWrite(int fn, uint32_t offset, int size, uint32_t value) {
  PciFunction &f = functions_[fn];
  if (f.model >= 0) {
    models_[f.model]->WriteConfig(offset, size, value, *this);
    return;
  }
  for (int i = 0; i < size; i++) {
    uint8_t mask = f.configWriteMask[offset + i];
    f.config[offset + i] = uint8_t((f.config[offset + i] & ~mask) | (uint8_t(value >> (8 * i)) & mask));
  }
}

uint32_t Chipset::ReadPciConfig(uint32_t bus, uint32_t device, uint32_t function, uint32_t offset,
                                int size) {
  int fn = FindFunction(bus, device, function);
  if (fn == kNoDevice || offset + uint32_t(size) > 256) return AllOnes32(size);
  return ConfigRead(fn, offset, size);
}

void Chipset::WritePciConfig(uint32_t bus, uint32_t device, uint32_t function, uint32_t offset,
                             int size, uint32_t value) {
  int fn = FindFunction(bus, device, function);
  if (fn != kNoDevice && offset + uint32_t(size) <= 256) ConfigWrite(fn, offset, size, value);
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
  int m = ModelPort(port, size, result);
  if (m >= 0) return models_[m]->ReadPort(port, size, *this) & uint32_t(AllOnes(size));
  if (console_ && port == consolePort_) {
    // A debug console reads back a fixed byte on every lane.
    result.kind = PortKind::kConsole;
    return kConsoleReadback * (size == 1 ? 0x1u : size == 2 ? 0x101u : 0x1010101u);
  }
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
  int m = ModelPort(port, size, result);
  if (m >= 0) {
    models_[m]->WritePort(port, size, value, *this);
    return;
  }
  if (console_ && port == consolePort_) result.kind = PortKind::kConsole;
}

Target Chipset::DecodeMemory(uint32_t address, int size) const {
  Target t;
  uint64_t end = uint64_t(address) + size;
  for (size_t i = 0; i < regions_.size(); i++) {
    const RegionDescription &r = regions_[i];
    if (address >= r.base && end <= uint64_t(r.base) + r.size) {
      t.device = kChipsetDevice;
      t.region = int(i);
      t.offset = address - r.base;
      t.claimed = true;
      return t;
    }
  }
  for (size_t i = 0; i < models_.size(); i++) {
    if (models_[i]->ClaimsMemory(address, size)) {
      t.device = kModelDevice;
      t.region = int(i);
      t.offset = address;
      t.claimed = true;
      return t;
    }
  }
  for (size_t i = 0; i < functions_.size(); i++) {
    const PciFunction &f = functions_[i];
    if (!f.Decodes()) continue;
    uint32_t bar = f.Bar();
    if (address >= bar && end <= uint64_t(bar) + f.barSize) {
      t.device = int(i);
      t.offset = address - bar;
      t.claimed = true;
      return t;
    }
  }
  return t;
}

uint64_t Chipset::MemoryRead(const Target &t, int size) {
  if (!t.claimed) return AllOnes(size);
  if (t.device == kModelDevice) return models_[t.region]->ReadMemory(t.offset, size, *this);
  const uint8_t *p = t.device == kChipsetDevice ? &regions_[t.region].regs[t.offset]
                                                 : &functions_[t.device].regs[t.offset];
  uint64_t v = 0;
  for (int i = 0; i < size; i++) v |= uint64_t(p[i]) << (8 * i);
  return v;
}

void Chipset::MemoryWrite(const Target &t, int size, uint64_t value) {
  if (!t.claimed) return;
  if (t.device == kModelDevice) return models_[t.region]->WriteMemory(t.offset, size, value, *this);
  std::vector<uint8_t> &regs = t.device == kChipsetDevice ? regions_[t.region].regs
                                                           : functions_[t.device].regs;
  const std::vector<uint8_t> &masks = t.device == kChipsetDevice
                                          ? regions_[t.region].regsWriteMask
                                          : functions_[t.device].regsWriteMask;
  for (int i = 0; i < size; i++) {
    uint8_t mask = masks[t.offset + i];
    uint8_t &r = regs[t.offset + i];
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
  if (f.model >= 0) {
    error = "PCI function " + bdf + " is a device model (" + models_[f.model]->Name() +
            "), whose registers are not preset";
    return false;
  }
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
  for (RegionDescription &r : regions_) {
    if (address < r.base || address - r.base >= r.size) continue;
    char space[96];
    snprintf(space, sizeof space, "%s register block at 0x%08X", r.name.c_str(), r.base);
    if (!CheckWidth(address - r.base, width, r.size, space, error)) return false;
    Put(&r.regs[address - r.base], width, value);
    return true;
  }
  std::string blocks;
  for (const RegionDescription &r : regions_) {
    char b[40];
    snprintf(b, sizeof b, "%s0x%08X-0x%08X", blocks.empty() ? "" : ", ", r.base,
             r.base + r.size - 1);
    blocks += b;
  }
  error = "no chipset register at this address" +
          (blocks.empty() ? std::string(" (the platform has none)") : " (they are " + blocks + ")");
  return false;
}

void Chipset::Randomize(uint32_t start) {
  std::mt19937 gen(start);
  for (PciFunction &f : functions_) {
    for (int r = 0; r < 256; r++)
      f.config[r] = uint8_t((f.config[r] & ~f.configWriteMask[r]) | (gen() & f.configWriteMask[r]));
    for (uint32_t r = 0; r < f.barSize; r++)
      f.regs[r] = uint8_t((f.regs[r] & ~f.regsWriteMask[r]) | (gen() & f.regsWriteMask[r]));
  }
  for (RegionDescription &r : regions_)
    for (uint8_t &b : r.regs) b = uint8_t(gen());
}

std::vector<const RegisterLayout *> Chipset::Layouts(RegisterLayout::Space space, int index) const {
  if (!layouts_ || layouts_->empty()) return {};
  if (space == RegisterLayout::kBlock)
    return LayoutsFor(*layouts_, space, 0, 0, 0, regions_[index].base);
  const PciFunction &f = functions_[index];
  return LayoutsFor(*layouts_, space, f.bus, f.device, f.function, 0);
}

RegisterText Chipset::DescribeRegister(RegisterLayout::Space space, int index, uint32_t offset,
                                       int width, uint64_t value) const {
  std::vector<const RegisterLayout *> layouts = Layouts(space, index);
  return layouts.empty() ? RegisterText() : DescribeAccess(layouts, offset, width, value);
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
  const PlatformDescription &d = DefaultPlatform();
  std::string s;
  char line[400];
  s += "  PCI configuration mechanism #1: CONFIG_ADDRESS at 0xCF8 (32-bit accesses only),\n"
       "  CONFIG_DATA at 0xCFC-0xCFF (byte lanes; an access must stay inside the dword).\n"
       "  PCI functions (every other function is absent and reads all ones):\n";
  Chipset c(d);
  for (int i = 0; i < c.FunctionCount(); i++) {
    const PciFunction &f = c.Function(i);
    snprintf(line, sizeof line,
             "    %s  %-6s  vendor 0x%04X device 0x%04X class 0x%06X  BAR0 0x%08X (%u bytes)\n",
             f.Bdf().c_str(), f.role.c_str(), f.Config32(0) & 0xFFFF, f.Config32(0) >> 16,
             f.Config32(8) >> 8, f.Bar(), f.barSize);
    s += line;
  }
  for (const RegionDescription &r : d.regions) {
    snprintf(line, sizeof line, "  %s registers 0x%08X-0x%08X (%u bytes)\n", r.name.c_str(),
             r.base, r.base + r.size - 1, r.size);
    s += line;
  }
  if (d.console) {
    snprintf(line, sizeof line,
             "  Debug console at port 0x%04X: what is written shows as text lines.\n",
             d.consolePort);
    s += line;
  }
  s += "  Any other memory-mapped address reads all ones and drops writes. The registers'\n"
       "  contents and writable bits are those of the platform file usb-chipset.platform\n"
       "  (tools/sim/platforms/); --platform FILE describes another platform.\n";
  return s;
}

}  // namespace peimsim
