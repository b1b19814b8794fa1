// The q35 device models against QEMU: what qemu-system-i386 7.2 answered to
// tools/sim/devices/qemu-probe/probe.asm (CPUID, MSRs, the host bridge's and
// LPC bridge's configuration space, the PM timer, CMOS, fw_cfg items and
// files; captured in q35-m256.txt, or a fresh run's output named by
// Q35_PROBE_OUTPUT) replayed on the models of --platform q35; then the
// register semantics OVMF relies on and the misuses a guest can make.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "chipset.h"
#include "devices/cmos.h"
#include "devices/cpu_hotplug.h"
#include "devices/fw_cfg.h"
#include "devices/ich9_lpc.h"
#include "devices/lapic.h"
#include "devices/pic.h"
#include "devices/pm_timer.h"
#include "devices/port92.h"
#include "devices/processor.h"
#include "devices/q35_mch.h"
#include "platform_file.h"

namespace peimsim {
namespace {

std::vector<std::vector<std::string>> ProbeLines() {
  const char *fresh = getenv("Q35_PROBE_OUTPUT");
  std::string path = fresh && *fresh ? fresh : SIM_SOURCE_DIR "/devices/qemu-probe/q35-m256.txt";
  std::ifstream in(path);
  EXPECT_TRUE(in.good()) << "cannot read " << path;
  std::vector<std::vector<std::string>> lines;
  for (std::string l; std::getline(in, l);) {
    std::istringstream words(l);
    std::vector<std::string> w;
    for (std::string x; words >> x;) w.push_back(x);
    if (!w.empty()) lines.push_back(w);
  }
  return lines;
}

uint32_t H(const std::string &s) { return uint32_t(strtoul(s.c_str(), nullptr, 16)); }

uint32_t Dword(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
  return a | b << 8 | c << 16 | d << 24;
}

// A host with 64 KiB of RAM at 0x10000, as a DMA sees it.
class RamHost : public NullDeviceHost {
 public:
  RamHost() : ram(0x10000, 0) {}
  bool ReadGuest(uint32_t a, void *d, uint32_t n) override {
    if (a < 0x10000 || uint64_t(a) + n > 0x20000) return false;
    memcpy(d, &ram[a - 0x10000], n);
    return true;
  }
  bool WriteGuest(uint32_t a, const void *d, uint32_t n) override {
    if (a < 0x10000 || uint64_t(a) + n > 0x20000) return false;
    memcpy(&ram[a - 0x10000], d, n);
    return true;
  }
  std::vector<uint8_t> ram;
};

// The q35 machine as QEMU resets it: the built-in platform without the
// writes that stand for OVMF's SEC phase.
PlatformDescription AtReset() {
  PlatformDescription d = Q35Platform();
  for (FunctionDescription &f : d.functions) f.writes.clear();
  return d;
}

// The q35 platform's models, by kind.
struct Q35 {
  Chipset chipset;
  explicit Q35(const PlatformDescription &d = AtReset()) : chipset(d) {}
  uint32_t Config(uint32_t address, int size = 4) {
    PortResult r;
    chipset.PortWrite(kConfigAddressPort, 4, address & ~3u, r);
    return chipset.PortRead(uint16_t(kConfigDataPort + (address & 3)), size, r);
  }
  void WriteConfig(uint32_t address, int size, uint32_t value) {
    PortResult r;
    chipset.PortWrite(kConfigAddressPort, 4, address & ~3u, r);
    chipset.PortWrite(uint16_t(kConfigDataPort + (address & 3)), size, value, r);
  }
  uint32_t In(uint16_t port, int size = 1) {
    PortResult r;
    uint32_t v = chipset.PortRead(port, size, r);
    EXPECT_EQ(r.kind, PortKind::kDevice) << "port " << std::hex << port;
    return v;
  }
  void Out(uint16_t port, int size, uint32_t value) {
    PortResult r;
    chipset.PortWrite(port, size, value, r);
    EXPECT_EQ(r.kind, PortKind::kDevice) << "port " << std::hex << port;
  }
};

TEST(DevicesQemu, CpuidAnswersAsQemu32) {
  Processor cpu;
  int leaves = 0;
  for (const auto &w : ProbeLines()) {
    if (w[0] != "C" || w.size() != 7) continue;
    CpuidResult r = cpu.Cpuid(H(w[1]), H(w[2]));
    EXPECT_EQ(r.eax, H(w[3])) << "leaf " << w[1] << "." << w[2] << " EAX";
    EXPECT_EQ(r.ebx, H(w[4])) << "leaf " << w[1] << "." << w[2] << " EBX";
    EXPECT_EQ(r.ecx, H(w[5])) << "leaf " << w[1] << "." << w[2] << " ECX";
    EXPECT_EQ(r.edx, H(w[6])) << "leaf " << w[1] << "." << w[2] << " EDX";
    leaves++;
  }
  EXPECT_GE(leaves, 20);
}

TEST(DevicesQemu, MsrsReadAsQemu32AfterReset) {
  Processor cpu;
  int msrs = 0;
  for (const auto &w : ProbeLines()) {
    if (w[0] != "M" || w.size() != 5 || H(w[1]) == Processor::kTsc) continue;
    EXPECT_EQ(w[2], "00000000") << "QEMU raised #GP on MSR " << w[1];
    bool known = false;
    uint64_t v = cpu.ReadMsr(H(w[1]), 0, known);
    EXPECT_EQ(v, uint64_t(H(w[3])) << 32 | H(w[4])) << "MSR " << w[1];
    msrs++;
  }
  EXPECT_GE(msrs, 30);
}

TEST(DevicesQemu, HostBridgeAndLpcConfigurationAsQemu) {
  // The probe dumps 00:00.0 and 00:1F.0, writes the extended-TSEG and
  // default-SMBASE queries, and dumps 00:00.0 again.
  Q35 q;
  int starts = 0, compared = 0;
  for (const auto &w : ProbeLines()) {
    if (w[0] != "P" || w.size() != 3) continue;
    uint32_t address = H(w[1]);
    if (address == 0x80000000 && ++starts == 2) {
      q.WriteConfig(0x80000050, 2, 0xFFFF);
      q.WriteConfig(0x8000009C, 1, 0xFF);
    }
    EXPECT_EQ(q.Config(address), H(w[2])) << "dump " << starts << " at " << w[1];
    compared++;
  }
  EXPECT_EQ(compared, 3 * 64);
}

// The probe turns PCIEXBAR on at 0xB0000000 and reads and writes through
// the MMCONFIG window (its PM block at 0x600 by then, as SEC leaves it).
TEST(DevicesQemu, MmconfigWindowAsQemu) {
  Q35 q(Q35Platform());
  q.WriteConfig(0x80000060, 4, 0xB0000001);
  int compared = 0;
  for (const auto &w : ProbeLines()) {
    if ((w[0] != "E" && w[0] != "W") || w.size() != 3) continue;
    Target t = q.chipset.DecodeMemory(H(w[1]), 4);
    EXPECT_TRUE(t.claimed) << w[1];
    if (w[0] == "W") {
      q.chipset.MemoryWrite(t, 4, H(w[2]));
      continue;
    }
    EXPECT_EQ(q.chipset.MemoryRead(t, 4), H(w[2])) << "MMCONFIG read at " << w[1];
    compared++;
  }
  EXPECT_EQ(compared, 13);
  EXPECT_FALSE(q.chipset.HasMisuse());
}

TEST(DevicesQemu, CmosBytesAsQemu) {
  Cmos cmos("CMOS", 256u << 20);
  NullDeviceHost host;
  int compared = 0;
  for (const auto &w : ProbeLines()) {
    if (w[0] != "R" || w.size() != 3) continue;
    uint32_t index = H(w[1]) & 0xFF;
    if (index <= 0x0A) continue;  // the clock and UIP change while QEMU runs
    cmos.WritePort(Cmos::kIndexPort, 1, index, host);
    EXPECT_EQ(cmos.ReadPort(Cmos::kDataPort, 1, host), H(w[2])) << "CMOS " << w[1];
    compared++;
  }
  EXPECT_EQ(compared, 117);
}

TEST(DevicesQemu, FwCfgItemsFilesAndDirectoryAsQemu) {
  Q35 q;
  int items = 0, files = 0;
  std::map<uint32_t, bool> served;
  for (const auto &w : ProbeLines()) {
    if (w[0] == "F" && w.size() == 3 && w[2].size() > 8) {
      // Directory entry: select, then size and name with no blank between.
      std::string name = w[2].substr(8);
      const FwCfgItem *f = Q35Platform().fwCfg->FindFile(name);
      ASSERT_NE(f, nullptr) << "QEMU serves " << name << ", the platform does not";
      EXPECT_EQ(f->key, H(w[1])) << name;
      EXPECT_EQ(f->size, H(w[2].substr(0, 8))) << name;
      served[f->key] = f->served;
      files++;
    }
    if (w[0] == "N") {
      EXPECT_EQ(H(w[1]), Q35Platform().fwCfg->FindFile("etc/e820") ? 15u : 0u);
    }
  }
  EXPECT_EQ(files, 15);
  for (const auto &w : ProbeLines()) {
    if (w[0] != "I" || w.size() < 2) continue;
    uint32_t key = H(w[1]);
    if (served.count(key) && !served[key]) continue;  // given by size only
    q.Out(FwCfg::kSelector, 2, key);
    for (size_t b = 2; b < w.size(); b++)
      EXPECT_EQ(q.In(FwCfg::kData), H(w[b])) << "fw_cfg item " << w[1] << " byte " << b - 2;
    items++;
  }
  EXPECT_GE(items, 20);
}

TEST(DevicesQemu, PmTimerRunsAtItsRateOnceAcpiIsEnabled) {
  Q35 q;
  PortResult r;
  q.chipset.PortRead(0x608, 4, r);
  EXPECT_EQ(r.kind, PortKind::kUnclaimed) << "the PM block answers before ACPI_EN";
  q.WriteConfig(0x8000F840, 4, 0x601);
  q.WriteConfig(0x8000F844, 1, 0x80);
  q.chipset.SetClock(1000000);  // 10 ms of the 100 MHz processor
  uint32_t t1 = q.In(0x608, 4);
  q.chipset.SetClock(2000000);
  uint32_t t2 = q.In(0x608, 4);
  EXPECT_NEAR(t1, 35795.45, 1);
  EXPECT_NEAR(t2 - t1, 35795.45, 1);
  // 24 bits: it wraps after 2^24 ticks (about 4.69 s).
  q.chipset.SetClock(uint64_t(1 << 24) * kInstructionsPerSecond / kPmTimerHz + 2000000 + 100);
  EXPECT_LT(q.In(0x608, 4), 0x1000000u);
  EXPECT_LT(q.In(0x608, 4), t2 + 10);
  // A new call's count starts again from 0; the timer does not go back.
  q.chipset.SetClock(10);
  EXPECT_GE(q.In(0x608, 4), t2);
}

// ---- Register semantics -------------------------------------------------------

TEST(Q35Mch, SmramLockFreezesSmramcAndEsmramc) {
  Q35Mch mch("MCH", 256u << 20);
  NullDeviceHost host;
  mch.WriteConfig(Q35Mch::kEsmramc, 1, 0x3F, host);  // T_EN, TSEG size: ext
  EXPECT_EQ(mch.ReadConfig(Q35Mch::kEsmramc, 1), 0x3Fu);
  mch.WriteConfig(Q35Mch::kSmramc, 1, 0x4A, host);  // D_OPEN | G_SMRAME
  EXPECT_EQ(mch.ReadConfig(Q35Mch::kSmramc, 1), 0x4Au);
  mch.WriteConfig(Q35Mch::kSmramc, 1, 0x5A, host);  // + D_LCK
  EXPECT_EQ(mch.ReadConfig(Q35Mch::kSmramc, 1), 0x1Au) << "D_OPEN drops at the lock";
  mch.WriteConfig(Q35Mch::kSmramc, 1, 0x42, host);
  EXPECT_EQ(mch.ReadConfig(Q35Mch::kSmramc, 1), 0x1Au) << "only D_CLS stays writable";
  mch.WriteConfig(Q35Mch::kSmramc, 1, 0x3A, host);
  EXPECT_EQ(mch.ReadConfig(Q35Mch::kSmramc, 1), 0x3Au);
  mch.WriteConfig(Q35Mch::kEsmramc, 1, 0x38, host);
  EXPECT_EQ(mch.ReadConfig(Q35Mch::kEsmramc, 1), 0x3Fu) << "ESMRAMC is frozen";
  EXPECT_TRUE(host.misuse.empty());
}

TEST(Q35Mch, QueriesAndLocksOfTsegAndSmbase) {
  Q35Mch mch("MCH", 256u << 20);
  NullDeviceHost host;
  struct Step {
    uint32_t reg;
    int size;
    uint32_t write, read;
  } steps[] = {
      {Q35Mch::kExtTsegMbytes, 2, 0x0008, 0x0008},  // plain storage
      {Q35Mch::kExtTsegMbytes, 2, 0xFFFF, 0x0010},  // the query: 16 MiB
      {Q35Mch::kFSmbase, 1, 0xFF, 0x01},            // the query: supported
      {Q35Mch::kFSmbase, 1, 0x02, 0x02},            // locked
      {Q35Mch::kFSmbase, 1, 0xFF, 0x02},            // stays locked
      {Q35Mch::kTsegmb, 4, 0x0F012345, 0x0F000000},  // 1 MiB granularity
      {Q35Mch::kTolud, 2, 0x1001, 0x1000},
  };
  for (const Step &s : steps) {
    mch.WriteConfig(s.reg, s.size, s.write, host);
    EXPECT_EQ(mch.ReadConfig(s.reg, s.size), s.read) << std::hex << "reg 0x" << s.reg
                                                     << " after writing 0x" << s.write;
  }
  EXPECT_EQ(mch.ReadConfig(0, 4), 0x29C08086u);
  mch.WriteConfig(Q35Mch::kPciexbar, 4, 0xB0000001, host);
  EXPECT_TRUE(host.misuse.empty());
  mch.WriteConfig(Q35Mch::kPciexbar, 4, 0x08000001, host);
  ASSERT_EQ(host.misuse.size(), 1u);
  EXPECT_NE(host.misuse[0].find("device-range: PCIEXBAR enabled at 0x8000000"), std::string::npos)
      << host.misuse[0];
}

// PCIEXBAR opens the MMCONFIG window: each function's configuration space at
// base + bus << 20 + device << 15 + function << 12, the same registers the
// ports reach.
TEST(Q35Mch, MmconfigWindowReachesTheFunctionsAsThePortsDo) {
  Q35 q;
  auto read = [&](uint32_t address, int size) {
    Target t = q.chipset.DecodeMemory(address, size);
    EXPECT_TRUE(t.claimed) << std::hex << address;
    return q.chipset.MemoryRead(t, size);
  };
  EXPECT_FALSE(q.chipset.DecodeMemory(0xB0000000, 4).claimed) << "off at reset";
  q.WriteConfig(0x80000060, 4, 0xB0000001);  // 256 MiB at 0xB0000000, as OVMF sets it
  EXPECT_EQ(read(0xB0000000, 4), 0x29C08086u);           // 00:00.0 ids
  EXPECT_EQ(read(0xB00F8000, 4), q.Config(0x8000F800));  // 00:1F.0
  EXPECT_EQ(read(0xB00F8002, 2), 0x2918u);
  EXPECT_EQ(read(0xB00F8040, 8) & 0xFFFFFFFF, q.Config(0x8000F840));  // split in two
  EXPECT_EQ(read(0xB00F8100, 4), 0xFFFFFFFFu);  // past the 256 bytes of a PCI function
  EXPECT_EQ(read(0xB0008000, 4), 0xFFFFFFFFu);  // 00:01.0 is absent
  EXPECT_EQ(read(0xBFFFFFFC, 4), 0xFFFFFFFFu);  // bus 0xFF, the window's last dword
  EXPECT_FALSE(q.chipset.DecodeMemory(0xC0000000, 4).claimed);
  // A write through the window is a configuration write: PMBASE moves.
  Target t = q.chipset.DecodeMemory(0xB00F8040, 4);
  q.chipset.MemoryWrite(t, 4, 0x701);
  EXPECT_EQ(q.Config(0x8000F840), 0x701u);
  EXPECT_EQ(q.chipset.Model(t.region).MemoryName(0xB00F8040), "MMCONFIG: PCI 00:1F.0 +0x040");
  // 64 MiB (length 2): the base keeps bit 26, the window ends 64 MiB on.
  q.WriteConfig(0x80000060, 4, 0xE4000005);
  EXPECT_EQ(read(0xE40F8000, 4), q.Config(0x8000F800));
  EXPECT_FALSE(q.chipset.DecodeMemory(0xE8000000, 4).claimed);
  EXPECT_FALSE(q.chipset.HasMisuse());
  q.WriteConfig(0x80000060, 4, 0xE0000007);  // the reserved length
  EXPECT_TRUE(q.chipset.HasMisuse());
}

TEST(Ich9Lpc, PmBlockFollowsPmbaseAndRefusesAnOverlap) {
  Q35 q;
  q.WriteConfig(0x8000F840, 4, 0xFFFFFFFF);
  EXPECT_EQ(q.Config(0x8000F840), 0x0000FF81u) << "PMBASE: bits 15:7, bit 0 reads 1";
  q.WriteConfig(0x8000F840, 4, 0x0CF8 & ~0x7Fu);  // 0x0C80-0x0CFF: over CONFIG_ADDRESS
  q.WriteConfig(0x8000F844, 1, 0x80);
  ASSERT_TRUE(q.chipset.HasMisuse());
  std::vector<DeviceMisuse> m = q.chipset.TakeMisuse();
  EXPECT_EQ(m[0].kind, "device-range");
  EXPECT_NE(m[0].message.find("PMBASE 0x0C80-0x0CFF"), std::string::npos) << m[0].message;
  q.WriteConfig(0x8000F840, 4, 0x0400);  // over the debug console at 0x402
  EXPECT_TRUE(q.chipset.HasMisuse());
  q.chipset.TakeMisuse();
  q.WriteConfig(0x8000F840, 4, 0x0600);
  EXPECT_FALSE(q.chipset.HasMisuse());
  // PM1_STS clears by writing 1; PM1_EN is storage; PM_TMR ignores writes.
  q.chipset.SetClock(0);
  q.Out(0x602, 2, 0x0121);
  EXPECT_EQ(q.In(0x602, 2), 0x0121u);
  q.Out(0x608, 4, 0x123456);
  EXPECT_EQ(q.In(0x608, 4), 0u);
}

TEST(Ich9Lpc, BuiltInPlatformStartsAsSecLeavesIt) {
  // OVMF's SEC phase enables the PM block at 0x600 before PEI runs.
  Q35 q(Q35Platform());
  EXPECT_EQ(q.Config(0x8000F840), 0x601u);
  EXPECT_EQ(q.Config(0x8000F844, 1), 0x80u);
  q.chipset.SetClock(1000);
  EXPECT_EQ(q.In(0x608, 4), PmTimerValue(1000));
  EXPECT_FALSE(q.chipset.HasMisuse());
}

TEST(Ich9Lpc, RcbaMapsItsBlockWhenEnabled) {
  Q35 q;
  EXPECT_FALSE(q.chipset.DecodeMemory(0xFED1C000, 4).claimed);
  q.WriteConfig(0x8000F8F0, 4, 0xFED1C001);
  Target t = q.chipset.DecodeMemory(0xFED1F410, 4);
  ASSERT_TRUE(t.claimed);
  q.chipset.MemoryWrite(t, 4, 0x12345678);
  EXPECT_EQ(q.chipset.MemoryRead(t, 4), 0x12345678u);
  q.WriteConfig(0x8000F8F0, 4, 0x00010001);
  EXPECT_TRUE(q.chipset.HasMisuse()) << "RCBA in RAM";
}

// ---- fw_cfg DMA -----------------------------------------------------------------

struct Dma {
  RamHost host;
  FwCfg device{"fw_cfg", Q35Platform().fwCfg};
  // Writes an access structure at 0x10000 and starts it; returns control after.
  uint32_t Run(uint32_t control, uint32_t length, uint32_t address) {
    uint8_t a[16] = {uint8_t(control >> 24), uint8_t(control >> 16), uint8_t(control >> 8),
                     uint8_t(control),       uint8_t(length >> 24),  uint8_t(length >> 16),
                     uint8_t(length >> 8),   uint8_t(length),        0, 0, 0, 0,
                     uint8_t(address >> 24), uint8_t(address >> 16), uint8_t(address >> 8),
                     uint8_t(address)};
    memcpy(&host.ram[0], a, 16);
    device.WritePort(FwCfg::kDma, 4, 0, host);
    device.WritePort(FwCfg::kDma + 4, 4, 0x00000100, host);  // 0x00010000, big-endian
    return uint32_t(host.ram[0]) << 24 | host.ram[1] << 16 | host.ram[2] << 8 | host.ram[3];
  }
  uint16_t Key(const char *file) { return Q35Platform().fwCfg->FindFile(file)->key; }
};

TEST(FwCfgDma, SelectReadSkipAndWrite) {
  Dma d;
  // Select e820 and read its 20 bytes into 0x11000, 4 more as zeros.
  memset(&d.host.ram[0x1000], 0xAA, 32);
  EXPECT_EQ(d.Run(uint32_t(d.Key("etc/e820")) << 16 | FwCfg::kCtlSelect | FwCfg::kCtlRead, 24,
                  0x11000),
            0u);
  EXPECT_EQ(Dword(d.host.ram[0x1008], d.host.ram[0x1009], d.host.ram[0x100A], d.host.ram[0x100B]),
            0x10000000u);
  EXPECT_EQ(d.host.ram[0x1010], 1);
  EXPECT_EQ(d.host.ram[0x1017], 0) << "past the item's end: zeros";
  EXPECT_EQ(d.host.ram[0x1018], 0xAA) << "nothing past the length";
  // Skip 3 bytes of system-states, read the S3 byte.
  EXPECT_EQ(d.Run(uint32_t(d.Key("etc/system-states")) << 16 | FwCfg::kCtlSelect | FwCfg::kCtlSkip,
                  3, 0),
            0u);
  EXPECT_EQ(d.Run(FwCfg::kCtlRead, 1, 0x11100), 0u);
  EXPECT_EQ(d.host.ram[0x1100], 0x81);
  // A read-only item refuses a write with the error bit.
  EXPECT_EQ(d.Run(uint32_t(d.Key("etc/e820")) << 16 | FwCfg::kCtlSelect | FwCfg::kCtlWrite, 4,
                  0x11000),
            FwCfg::kCtlError);
  EXPECT_TRUE(d.host.misuse.empty());
}

TEST(FwCfgDma, SmiFeatureNegotiation) {
  struct Case {
    uint8_t requested;
    uint8_t ok;
  } cases[] = {{0x01, 1}, {0x03, 1}, {0x08, 0}};
  for (const Case &c : cases) {
    Dma d;
    d.host.ram[0x2000] = c.requested;
    EXPECT_EQ(d.Run(uint32_t(d.Key("etc/smi/requested-features")) << 16 | FwCfg::kCtlSelect |
                        FwCfg::kCtlWrite,
                    8, 0x12000),
              0u);
    EXPECT_EQ(d.Run(uint32_t(d.Key("etc/smi/features-ok")) << 16 | FwCfg::kCtlSelect |
                        FwCfg::kCtlRead,
                    1, 0x12100),
              0u);
    EXPECT_EQ(d.host.ram[0x2100], c.ok) << "requested 0x" << std::hex << int(c.requested);
    // Negotiated: the request is locked.
    EXPECT_EQ(d.Run(uint32_t(d.Key("etc/smi/requested-features")) << 16 | FwCfg::kCtlSelect |
                        FwCfg::kCtlWrite,
                    8, 0x12000),
              FwCfg::kCtlError);
  }
}

TEST(FwCfgDma, OutOfRangeIsNamedNotFollowed) {
  struct Case {
    const char *what;
    uint32_t structure, length, target;
    const char *expect;
  } cases[] = {
      {"structure beyond RAM", 0x00F00000, 0, 0, "DMA access structure at 0xF00000, which is not RAM"},
      {"buffer beyond RAM", 0x00010000, 0x100000, 0x11000, "runs beyond RAM at 0x20000"},
      {"buffer past 4 GiB", 0x00010000, 0x100, 0xFFFFFFF0u, "beyond 4 GiB"},
      {"4 GiB long read", 0x00010000, 0xFFFE0000u, 0x11000, "runs beyond RAM at 0x20000"},
  };
  for (const Case &c : cases) {
    Dma d;
    if (c.structure == 0x00010000) {
      d.Run(uint32_t(d.Key("etc/e820")) << 16 | FwCfg::kCtlSelect | FwCfg::kCtlRead, c.length,
            c.target);
    } else {
      d.device.WritePort(FwCfg::kDma, 4, 0, d.host);
      d.device.WritePort(FwCfg::kDma + 4, 4, 0x0000F000, d.host);  // 0x00F00000
    }
    ASSERT_EQ(d.host.misuse.size(), 1u) << c.what;
    EXPECT_NE(d.host.misuse[0].find(c.expect), std::string::npos) << c.what << ": "
                                                                  << d.host.misuse[0];
  }
}

// ---- The small port devices -------------------------------------------------------

TEST(PortDevices, CpuHotplugCountsOneProcessorInModernMode) {
  CpuHotplug hp("hp");
  NullDeviceHost host;
  EXPECT_EQ(hp.ReadPort(0x0CD8, 1, host), 1u) << "legacy: processor 0 present";
  hp.WritePort(0x0CD8, 1, 0, host);
  EXPECT_TRUE(hp.Modern());
  hp.WritePort(0x0CDD, 1, CpuHotplug::kCmdGetPending, host);
  EXPECT_EQ(hp.ReadPort(0x0CD8, 4, host), 0u) << "CMD_DATA2 0: the modern interface";
  // Counting as OVMF does: select n, the data register shows n while n exists.
  uint32_t possible = 0;
  while (possible < 8) {
    hp.WritePort(0x0CD8, 4, possible, host);
    if (hp.ReadPort(0x0CE0, 4, host) != possible) break;
    EXPECT_EQ(hp.ReadPort(0x0CDC, 1, host) & CpuHotplug::kStatEnabled, 1u);
    possible++;
  }
  EXPECT_EQ(possible, 1u);
}

TEST(PortDevices, PicInitialisationAndMasks) {
  Pic pic("PIC");
  NullDeviceHost host;
  // ICW1 (edge, cascade, ICW4), ICW2 vector 0x68, ICW3, ICW4; then OCW1.
  for (uint8_t b : {0x11, 0x68, 0x04, 0x01}) pic.WritePort(b == 0x11 ? 0x20 : 0x21, 1, b, host);
  EXPECT_EQ(pic.VectorBase(0), 0x68);
  pic.WritePort(0x21, 1, 0xFB, host);
  EXPECT_EQ(pic.ReadPort(0x21, 1, host), 0xFBu);
  EXPECT_EQ(pic.Mask(1), 0);
  pic.WritePort(0xA1, 1, 0xFF, host);
  EXPECT_EQ(pic.ReadPort(0xA1, 1, host), 0xFFu);
  pic.WritePort(0x4D0, 1, 0xFF, host);
  EXPECT_EQ(pic.ReadPort(0x4D0, 1, host), 0xF8u) << "IRQ 0-2 stay edge-triggered";
}

TEST(PortDevices, Port92ResetIsNamed) {
  Port92 p("92");
  NullDeviceHost host;
  p.WritePort(0x92, 1, 0x02, host);
  EXPECT_EQ(p.ReadPort(0x92, 1, host), 0x02u);
  EXPECT_TRUE(host.misuse.empty());
  p.WritePort(0x92, 1, 0x03, host);
  ASSERT_EQ(host.misuse.size(), 1u);
  EXPECT_EQ(host.misuse[0].rfind("reset:", 0), 0u);
}

TEST(MemoryDevices, LocalApicAfterResetAndItsTimer) {
  LocalApic apic("APIC");
  NullDeviceHost host;
  EXPECT_EQ(apic.ReadMemory(0xFEE00030, 4, host), LocalApic::kVersionValue);
  EXPECT_EQ(apic.ReadMemory(0xFEE000F0, 4, host), 0xFFu);
  EXPECT_EQ(apic.ReadMemory(0xFEE00350, 4, host), 0x10000u) << "LINT0 masked";
  apic.WriteMemory(0xFEE003E0, 4, 0x0B, host);  // divide by 1
  host.instructions = 100;
  apic.WriteMemory(0xFEE00380, 4, 1000, host);
  host.instructions = 400;
  EXPECT_EQ(apic.ReadMemory(0xFEE00390, 4, host), 700u);
  host.instructions = 5000;
  EXPECT_EQ(apic.ReadMemory(0xFEE00390, 4, host), 0u) << "one-shot: stops at 0";
  apic.WriteMemory(0xFEE00022, 2, 0, host);
  EXPECT_EQ(host.misuse.size(), 1u) << "a 16-bit write";
}

TEST(ProcessorModel, MsrWritesKeptAndTheApicStaysPut) {
  Processor cpu;
  std::string why;
  EXPECT_TRUE(cpu.WriteMsr(Processor::kMtrrDefType, 0xC06, why));
  bool known = false;
  EXPECT_EQ(cpu.ReadMsr(Processor::kMtrrDefType, 0, known), 0xC06u);
  EXPECT_TRUE(known);
  EXPECT_TRUE(cpu.WriteMsr(Processor::kMtrrCap, 0x508, why));
  EXPECT_EQ(cpu.ReadMsr(Processor::kMtrrCap, 0, known), 0u) << "MTRRcap is read-only";
  EXPECT_EQ(cpu.ReadMsr(Processor::kTsc, 12345, known), 12345u);
  EXPECT_TRUE(cpu.WriteMsr(Processor::kApicBase, 0xFEE00800, why)) << why;
  EXPECT_EQ(cpu.ReadMsr(Processor::kApicBase, 0, known), 0xFEE00900u) << "BSP is read-only";
  EXPECT_FALSE(cpu.WriteMsr(Processor::kApicBase, 0xFEC00900, why));
  EXPECT_NE(why.find("moving or disabling the local APIC"), std::string::npos);
}

// ---- The platform file's new statements ---------------------------------------------

TEST(Q35PlatformFile, BuiltInParsesAndMalformedLinesAreRefused) {
  ASSERT_EQ(Q35Platform().functions.size(), 4u);
  EXPECT_TRUE(Q35Platform().processor);
  EXPECT_EQ(Q35Platform().ramBytes, 0x10000000u);
  struct Case {
    const char *text, *error;
  } cases[] = {
      {"device q35-mch \"MCH\"\n", "t:1: expected device q35-mch BB:DD.F \"NAME\""},
      {"device cmos \"a\"\ndevice cmos \"b\"\n", "t:2: a second cmos device"},
      {"device floppy \"a\"\n", "t:1: unknown device 'floppy'"},
      {"device q35-mch 00:00.0 \"MCH\"\nconfig 00:00.0 0x50/16 = 1\n",
       "t:2: PCI function 00:00.0 is the q35-mch model"},
      {"processor pentium\n", "t:1: expected processor qemu32"},
      {"ram 0x100\n", "t:1: ram size 0x100 is not a whole number of MiB"},
      {"device fw-cfg \"f\"\nfwcfg 0x19 = 00\n", "t:2: fw_cfg item 0x19 is the file directory's"},
      {"device fw-cfg \"f\"\nfwcfg 0x05 = 0\n", "t:2: contents '0...' have an odd number"},
      {"device fw-cfg \"f\"\nfwcfg 0x05 = 0g\n", "t:2: contents: 'g' is not a hex digit"},
      {"device fw-cfg \"f\"\nfwcfg 0x05 = 00\nfwcfg 0x05 = 01\n", "t:3: fw_cfg item 0x00000005 is given twice"},
      {"device fw-cfg \"f\"\nfwcfg-file \"a\" = 00\nfwcfg-file \"a\" size 4\n",
       "t:3: fw_cfg file \"a\" is given twice"},
      {"fwcfg 0x05 = 0100\n", "t:1: fw_cfg items, but no device fw-cfg to serve them"},
      {"device fw-cfg \"f\"\nfwcfg-file \"a\" size 0x2000000\n", "t:2: fw_cfg file size"},
  };
  for (const Case &c : cases) {
    PlatformDescription d;
    std::string error;
    EXPECT_FALSE(ParsePlatform(c.text, "t", d, error)) << c.text;
    EXPECT_EQ(error.rfind(c.error, 0), 0u) << c.text << "gave: " << error;
  }
}

}  // namespace
}  // namespace peimsim
