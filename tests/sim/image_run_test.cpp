// The real module image, run on the emulated platform: what only the
// delivered IA-32 code can get wrong (code generation, relocation, calling
// convention, MMX state, access widths) and the platform's view of it.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <random>

#include "link_map.h"
#include "test_support.h"

using namespace peimsim;

namespace {

constexpr uint32_t kRandomStart = 20240611;
constexpr uint32_t kEhciMmioBase = 0xF0008000, kOhciMmioBase = 0xC0000000, kStride = 0x1000;
const uint32_t kEhciFunction[3] = {0x9200, 0x9A00, 0xB200};   // 00:12.2, 00:13.2, 00:16.2
const uint32_t kOhciFunction[4] = {0x9000, 0x9800, 0xB000, 0xA500};  // 00:12.0, 00:13.0, 00:16.0, 00:14.5
const char *const kEhciBdf[3] = {"00:12.2", "00:13.2", "00:16.2"};
const char *const kOhciBdf[4] = {"00:12.0", "00:13.0", "00:16.0", "00:14.5"};

struct Access {
  bool port;
  bool write;
  int width;
  uint32_t address;
  uint64_t value;
  bool operator==(const Access &o) const {
    return port == o.port && write == o.write && width == o.width && address == o.address &&
           value == o.value;
  }
};

std::string Describe(const Access &a) {
  return std::string(a.port ? (a.write ? "out" : "in") : (a.write ? "wr" : "rd")) +
         std::to_string(a.width) + " " + Hex(a.address, a.port ? 4 : 8) + " " + Hex(a.value);
}

// Register contents as plain storage: configuration space bytes by
// CONFIG_ADDRESS-form address, memory-mapped bytes by address.
struct Registers {
  std::map<uint32_t, uint8_t> config, memory;
  static uint32_t Get(std::map<uint32_t, uint8_t> &m, uint32_t a, int width) {
    uint32_t v = 0;
    for (int i = 0; i < width / 8; i++) v |= uint32_t(m[a + i]) << (8 * i);
    return v;
  }
  static void Set(std::map<uint32_t, uint8_t> &m, uint32_t a, int width, uint32_t v) {
    for (int i = 0; i < width / 8; i++) m[a + i] = uint8_t(v >> (8 * i));
  }
};

// The programming as the hardware description gives it, carried out on
// `regs`: the accesses the processor must make, in order.
class ExpectedProgramming {
 public:
  explicit ExpectedProgramming(Registers &regs) : regs_(regs) {}

  std::vector<Access> Build() {
    Mmio(8, 0xFED803EF, 0x80, 0x00);
    Mmio(16, 0xFED803F0, 0xFFFF, 0x0384);
    Mmio(8, 0xFED803EF, 0xFF, 0x7F);
    for (int i = 0; i < 3; i++) {
      uint32_t a = kEhciFunction[i], b = kEhciMmioBase + i * kStride;
      Pci(32, a + 0x10, 0x00000000, b);
      Pci(8, a + 0x04, 0xFF, 0x02);
      Pci(16, a + 0x0C, 0x0000, 0x4008);
      Mmio(32, 0xFED803ED, 0xFFFFFFFF, 0x00000002);
      Mmio(32, b + 0xC0, 0x00000000, 0x00020F00);
      Mmio(32, b + 0xA4, 0xFF40FF40, 0x00400040);
      Mmio(32, b + 0xBC, 0xFFFFEFFF, 0x00000000);
      Mmio(32, b + 0xB4, 0xFFFFEF7F, 0x00000040);
      Mmio(32, b + 0xB4, 0xFFFFFFFF, 0x00001000);
      Pci(32, a + 0x50, 0xFFFFFFFF, 0x20800140);
      Pci(16, a + 0x52, 0xFFFF, 0x8000);
      Pci(32, a + 0x54, 0xFFFFFFFF, 0x00000001);
    }
    for (int j = 0; j < 4; j++) {
      Pci(32, kOhciFunction[j] + 0x10, 0x00000000, kOhciMmioBase + j * kStride);
      Pci(8, kOhciFunction[j] + 0x04, 0xFF, 0x06);
    }
    return accesses_;
  }

 private:
  // Mechanism #1: CONFIG_ADDRESS with the enable bit (low bits kept), then
  // the data at the access width on the register's byte lane.
  void Pci(int width, uint32_t address, uint32_t andMask, uint32_t orValue) {
    uint32_t configAddress = 0x80000000u | address;
    uint32_t port = 0xCFC + (width == 32 ? 0 : (address & 3));
    uint32_t read = Registers::Get(regs_.config, address, width);
    uint32_t write = (read & andMask) | orValue;
    accesses_.push_back({true, true, 32, 0xCF8, configAddress});
    accesses_.push_back({true, false, width, port, read});
    accesses_.push_back({true, true, 32, 0xCF8, configAddress});
    accesses_.push_back({true, true, width, port, write});
    Registers::Set(regs_.config, address, width, write);
  }
  void Mmio(int width, uint32_t address, uint32_t andMask, uint32_t orValue) {
    uint32_t read = Registers::Get(regs_.memory, address, width);
    uint32_t write = (read & andMask) | orValue;
    accesses_.push_back({false, false, width, address, read});
    accesses_.push_back({false, true, width, address, write});
    Registers::Set(regs_.memory, address, width, write);
  }

  Registers &regs_;
  std::vector<Access> accesses_;
};

// Random contents for every register the module reads, set on the platform
// and mirrored in `regs`. Memory decoding starts off, as after reset.
void RandomRegisters(uint32_t start, PlatformOptions &options, Registers &regs) {
  std::mt19937 gen(start);
  auto preset = [&](RegisterPreset::Space space, const std::string &bdf, uint32_t at, uint8_t v) {
    RegisterPreset p;
    p.space = space;
    p.bdf = bdf;
    p.address = at;
    p.width = 8;
    p.value = v;
    options.presets.push_back(p);
  };
  // BAR0 bits below the BAR's size read 0: 256 bytes for EHCI, 4 KiB for OHCI.
  auto config = [&](const char *bdf, uint32_t function, uint32_t barSize) {
    std::vector<uint32_t> offsets = {0x04, 0x05, 0x0C, 0x0D, 0x10, 0x11, 0x12, 0x13};
    for (uint32_t r = 0x50; r < 0x58; r++) offsets.push_back(r);
    for (uint32_t r : offsets) {
      uint8_t v = uint8_t(gen());
      if (r == 0x04) v &= ~0x02;
      if (r >= 0x10 && r < 0x14) v &= uint8_t(~(barSize - 1) >> (8 * (r - 0x10)));
      preset(RegisterPreset::kConfig, bdf, r, v);
      regs.config[function + r] = v;
    }
  };
  for (int i = 0; i < 3; i++) {
    config(kEhciBdf[i], kEhciFunction[i], 0x100);
    for (uint32_t r = 0xA4; r < 0xC4; r++) {
      uint8_t v = uint8_t(gen());
      preset(RegisterPreset::kFunctionMemory, kEhciBdf[i], r, v);
      regs.memory[kEhciMmioBase + i * kStride + r] = v;
    }
  }
  for (int j = 0; j < 4; j++) config(kOhciBdf[j], kOhciFunction[j], 0x1000);
  for (uint32_t a = 0xFED803ED; a <= 0xFED803F1; a++) {
    uint8_t v = uint8_t(gen());
    preset(RegisterPreset::kChipsetMemory, "", a, v);
    regs.memory[a] = v;
  }
}

std::vector<Access> HardwareAccesses(const Platform &p) {
  std::vector<Access> out;
  for (const Event &e : p.Events())
    if (e.kind == EventKind::kPort || e.kind == EventKind::kMemory)
      out.push_back({e.kind == EventKind::kPort, e.write, e.width, e.address, e.value});
  return out;
}

std::string ViolationText(const Platform &p) {
  std::string s;
  for (const Violation &v : p.Violations()) s += "\n  [" + v.kind + "] " + v.message;
  return s;
}

uint32_t TopOfMemoryBase(const pe::Image &image) {
  return uint32_t(0x100000000ull - ((image.sizeOfImage + 31) & ~31u));
}

struct DispatchCase {
  uint32_t start;
  uint32_t loadAddress;  // 0: the image ends at 4 GiB
  uint32_t bootMode;
};
void PrintTo(const DispatchCase &c, std::ostream *os) {
  *os << "load 0x" << std::hex << c.loadAddress << " boot mode 0x" << c.bootMode;
}

class DispatchTest : public ::testing::TestWithParam<DispatchCase> {};

// The whole dispatch at several load addresses and boot modes, with random
// register contents so that every AND mask and OR value really shows.
TEST_P(DispatchTest, ProgramsTheChipsetExactlyAsTheTablesSay) {
  const DispatchCase &c = GetParam();
  pe::Image image = simtest::ModuleImage();
  PlatformOptions options;
  options.loadAddress = c.loadAddress ? c.loadAddress : TopOfMemoryBase(image);
  options.bootMode = c.bootMode;
  Registers regs;
  RandomRegisters(c.start, options, regs);
  Platform platform;
  std::string error;
  ASSERT_TRUE(platform.Load(image, options, error)) << error;
  CallOutcome entry = platform.RunEntry();

  ASSERT_TRUE(entry.returned) << ViolationText(platform);
  EXPECT_EQ(entry.eax, kEfiSuccess);
  EXPECT_TRUE(platform.Violations().empty()) << ViolationText(platform);

  std::vector<Access> expected = ExpectedProgramming(regs).Build();
  std::vector<Access> actual = HardwareAccesses(platform);
  ASSERT_EQ(expected.size(), 146u);
  for (size_t i = 0; i < std::min(expected.size(), actual.size()); i++)
    ASSERT_EQ(actual[i], expected[i]) << "hardware access " << i << ": expected "
                                      << Describe(expected[i]) << ", got " << Describe(actual[i]);
  EXPECT_EQ(actual.size(), expected.size());
  // Each access is attributed to an instruction of the image that makes it.
  for (const Event &e : platform.Events()) {
    uint8_t code[2] = {0, 0};
    ASSERT_TRUE(platform.InImage(e.eip) && platform.Read(e.eip, code, 2)) << Hex(e.eip);
    uint8_t op = code[0] == 0x66 ? code[1] : code[0];
    if (e.kind == EventKind::kPort) {
      EXPECT_TRUE((op >= 0xE4 && op <= 0xE7) || (op >= 0xEC && op <= 0xEF)) << Hex(e.eip);
    }
  }

  // Services around the programming: the record and the Stall PPI are
  // ready before the first access, the PPI is installed after the last.
  std::vector<std::string> calls;
  for (const ServiceCall &s : platform.Services()) calls.push_back(s.name);
  EXPECT_EQ(calls, (std::vector<std::string>{"GetBootMode", "LocatePpi", "AllocatePages",
                                             "InstallPpi", "Stall"}));
  const std::vector<Event> &events = platform.Events();
  ASSERT_EQ(events.size(), 151u);
  for (int i : {0, 1, 2, 149, 150}) EXPECT_EQ(events[i].kind, EventKind::kService) << i;
  EXPECT_EQ(platform.StallRequests(), std::vector<uint32_t>{1000000});
  ASSERT_EQ(platform.Allocations().size(), 1u);
  EXPECT_EQ(platform.Allocations()[0].pages, 1u);
  EXPECT_EQ(platform.Allocations()[0].type, 4u);
}

INSTANTIATE_TEST_SUITE_P(Dispatch, DispatchTest,
                         ::testing::Values(DispatchCase{kRandomStart, kDefaultLoadAddress, 0x00},
                                           DispatchCase{kRandomStart + 1, 0x01000000, 0x10},
                                           DispatchCase{kRandomStart + 2, 0xBFFFE020, 0x12},
                                           DispatchCase{kRandomStart + 3, 0, 0x20}),
                         [](const ::testing::TestParamInfo<DispatchCase> &i) {
                           char name[40];
                           const DispatchCase &c = i.param;
                           if (c.loadAddress)
                             snprintf(name, sizeof name, "At%08X_BootMode%02X", c.loadAddress,
                                      c.bootMode);
                           else
                             snprintf(name, sizeof name, "EndingAt4GiB_BootMode%02X", c.bootMode);
                           return std::string(name);
                         });

TEST(ImageRun, S3ResumeCallsGetBootModeAndTouchesNothingElse) {
  Platform platform;
  PlatformOptions options;
  options.bootMode = kBootOnS3Resume;
  std::string error;
  ASSERT_TRUE(platform.Load(simtest::ModuleImage(), options, error)) << error;
  CallOutcome entry = platform.RunEntry();
  ASSERT_TRUE(entry.returned);
  EXPECT_EQ(entry.eax, kEfiSuccess);
  ASSERT_EQ(platform.Events().size(), 1u);
  EXPECT_EQ(platform.Services().at(0).name, "GetBootMode");
  EXPECT_TRUE(platform.Allocations().empty());
  EXPECT_TRUE(platform.Violations().empty()) << ViolationText(platform);
  EXPECT_FALSE(platform.QueryConsumer().found);
}

// The record as the relocated code leaves it: pointers into the image are
// relocated, pointers into the page are the page's, nothing else is touched.
TEST(ImageRun, RecordHoldsRelocatedPointersAndTheRestOfThePageIsUntouched) {
  pe::Image image = simtest::ModuleImage();
  uint32_t functionRva[2] = {0, 0};
  int n = 0;
  for (uint32_t base : {kDefaultLoadAddress, 0x02345660u}) {
    Platform platform;
    PlatformOptions options;
    options.loadAddress = base;
    std::string error;
    ASSERT_TRUE(platform.Load(image, options, error)) << error;
    ASSERT_TRUE(platform.RunEntry().returned);
    ASSERT_EQ(platform.Allocations().size(), 1u);
    uint32_t page = platform.Allocations()[0].address;
    uint32_t record[7];
    ASSERT_TRUE(platform.Read(page, record, sizeof record));
    ASSERT_TRUE(platform.InImage(record[0])) << Hex(record[0]);
    const pe::Section *text = image.SectionAt(record[0] - base);
    ASSERT_NE(text, nullptr);
    EXPECT_TRUE(text->characteristics & pe::kScnMemExecute);
    functionRva[n++] = record[0] - base;
    EXPECT_EQ(record[1], 0x80000010u);
    Guid guid;
    ASSERT_TRUE(platform.InImage(record[2]));
    ASSERT_TRUE(platform.Read(record[2], guid.data(), 16));
    EXPECT_EQ(guid, kUsbControllerPpiGuid);
    EXPECT_EQ(record[3], page);
    EXPECT_EQ(record[4], 0xF0008000u);
    EXPECT_EQ(record[5], 0xF0009000u);
    EXPECT_EQ(record[6], 0xF000A000u);
    std::vector<uint8_t> rest(kPageSize - sizeof record);
    ASSERT_TRUE(platform.Read(page + sizeof record, rest.data(), rest.size()));
    EXPECT_EQ(std::count(rest.begin(), rest.end(), kUninitialisedByte), long(rest.size()));

    // The consumer's view agrees with the record.
    ConsumerView view = platform.QueryConsumer();
    ASSERT_TRUE(view.found);
    EXPECT_EQ(view.ppi, page);
    EXPECT_EQ(view.descriptor, page + 4);
    ASSERT_EQ(view.queries.size(), 4u);
    EXPECT_EQ(view.queries[2].base, 0xF000A000u);
    EXPECT_EQ(view.queries[3].status, kEfiInvalidParameter);
    EXPECT_TRUE(platform.Violations().empty()) << ViolationText(platform);
  }
  EXPECT_EQ(functionRva[0], functionRva[1]);
}

// GetUsbController called directly: the id is a UINT8 whose stack slot has
// garbage above its low byte; null outputs are refused.
TEST(ImageRun, GetUsbControllerOverAllIdsWithGarbageInTheIdSlot) {
  Platform platform;
  std::string error;
  ASSERT_TRUE(platform.Load(simtest::ModuleImage(), PlatformOptions(), error)) << error;
  ASSERT_TRUE(platform.RunEntry().returned);
  uint32_t page = platform.Allocations().at(0).address;
  uint32_t function = platform.Read32(page);
  const uint32_t type = kCallerData + 0x20, base = kCallerData + 0x24;
  const uint32_t kTypeBefore = 0x11111111, kBaseBefore = 0x22222222;
  std::mt19937 gen(kRandomStart);
  auto call = [&](uint32_t services, uint32_t slot, uint32_t typeOut, uint32_t baseOut) {
    platform.Write(type, &kTypeBefore, 4);
    platform.Write(base, &kBaseBefore, 4);
    CallOutcome o = platform.Call(function, {services, page, slot, typeOut, baseOut},
                                  {{type, 4}, {base, 4}});
    EXPECT_TRUE(o.returned);
    return o.eax;
  };
  for (uint32_t upper : {0x000000u, 0xFFFFFFu, 0x5A5A5Au, uint32_t(gen()) & 0xFFFFFF}) {
    for (uint32_t id = 0; id < 256; id++) {
      uint32_t services = id % 2 ? kPeiServicesCell : 0;  // not used by the service
      uint32_t status = call(services, upper << 8 | id, type, base);
      if (id < 3) {
        ASSERT_EQ(status, kEfiSuccess) << "id " << id << " upper " << Hex(upper);
        EXPECT_EQ(platform.Read32(type), 3u);
        EXPECT_EQ(platform.Read32(base), 0xF0008000u + id * 0x1000);
      } else {
        ASSERT_EQ(status, kEfiInvalidParameter) << "id " << id << " upper " << Hex(upper);
        EXPECT_EQ(platform.Read32(type), kTypeBefore);
        EXPECT_EQ(platform.Read32(base), kBaseBefore);
      }
    }
  }
  for (uint32_t id = 0; id < 4; id++) {
    EXPECT_EQ(call(kPeiServicesCell, id, 0, base), kEfiInvalidParameter);
    EXPECT_EQ(platform.Read32(base), kBaseBefore);
    EXPECT_EQ(call(kPeiServicesCell, id, type, 0), kEfiInvalidParameter);
    EXPECT_EQ(platform.Read32(type), kTypeBefore);
  }
  EXPECT_TRUE(platform.Violations().empty()) << ViolationText(platform);
}

struct Store {
  uint32_t address;
  int width;
};

// ZeroMem found through the map and called directly: every byte of the
// range zeroed and nothing outside it, the stores in the promised pattern,
// MMX register 0 and the x87 state as they were.
TEST(ImageRun, ZeroMemOverAlignmentsAndLengths) {
  pe::LinkMap map;
  std::string error;
  ASSERT_TRUE(pe::ReadLinkMap(USB_PEIM_MAP, map, error)) << error;
  const pe::MapSymbol *zeroMem = map.Find("ZeroMem");
  ASSERT_NE(zeroMem, nullptr);
  Platform platform;
  ASSERT_TRUE(platform.Load(simtest::ModuleImage(), PlatformOptions(), error)) << error;
  const uint32_t function = platform.LoadAddress() + zeroMem->rva;
  std::mt19937_64 gen(kRandomStart);
  for (uint32_t misalign = 0; misalign < 8; misalign++) {
    for (uint32_t length : {0u, 1u, 2u, 3u, 4u, 5u, 7u, 28u, 32u, 63u, 64u, 65u, 71u, 127u, 128u,
                            131u, 200u, 1000u}) {
      SCOPED_TRACE("misalign " + std::to_string(misalign) + " length " + std::to_string(length));
      platform.Reset();
      const uint32_t buffer = kCallerData + 0x100 + misalign;
      platform.WatchWrites(kCallerData, kPageSize);
      uint64_t mm0 = gen();
      platform.SetMm0(mm0);
      CallOutcome o = platform.Call(function, {buffer, length}, {{buffer, length}});
      ASSERT_TRUE(o.returned);
      EXPECT_TRUE(platform.Violations().empty()) << ViolationText(platform);
      EXPECT_EQ(platform.Mm0After(), mm0);

      std::vector<uint8_t> page(kPageSize);
      ASSERT_TRUE(platform.Read(kCallerData, page.data(), page.size()));
      for (uint32_t i = 0; i < kPageSize; i++) {
        bool inside = i >= buffer - kCallerData && i < buffer - kCallerData + length;
        ASSERT_EQ(page[i], inside ? 0 : kUninitialisedByte) << "byte " << Hex(kCallerData + i);
      }

      uint32_t head = std::min((4 - buffer % 4) % 4, length), rest = length - head;
      std::vector<Store> expected;
      uint32_t at = buffer;
      auto stores = [&](uint32_t count, int width) {
        for (uint32_t k = 0; k < count; k++, at += width / 8) expected.push_back({at, width});
      };
      stores(head, 8);
      stores(rest / 64 * 8, 64);
      stores(rest % 64 / 4, 32);
      stores(rest % 4, 8);
      std::vector<Store> actual;
      for (const Event &e : platform.Events())
        if (e.kind == EventKind::kRamWrite) actual.push_back({uint32_t(e.address), e.width});
      ASSERT_EQ(actual.size(), expected.size());
      for (size_t k = 0; k < expected.size(); k++) {
        EXPECT_EQ(actual[k].address, expected[k].address) << "store " << k;
        EXPECT_EQ(actual[k].width, expected[k].width) << "store " << k;
      }
    }
  }
}

// The instruction count reported per dispatch is the true one.
TEST(ImageRun, BlockCountEqualsCountingEachInstruction) {
  PlatformOptions options;
  options.countEachInstruction = true;
  Platform platform;
  std::string error;
  ASSERT_TRUE(platform.Load(simtest::ModuleImage(), options, error)) << error;
  CallOutcome o = platform.RunEntry();
  ASSERT_TRUE(o.returned);
  EXPECT_GT(o.instructions, 146u);
  EXPECT_EQ(o.instructions, platform.CountedOneByOne());
}

}  // namespace
