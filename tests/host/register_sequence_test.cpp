// The bring-up sequence as the hardware sees it: every port and memory
// access of one dispatch, against the programming the chipset documentation
// gives for the chipset registers, the EHCI and the OHCI functions.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "fake_pei.h"
#include "recording_platform.h"
#include "usb_init.h"

namespace {

struct Update {
  bool pci;
  unsigned width;
  uint32_t address;  // CONFIG_ADDRESS form for PCI, physical for memory
  uint32_t andMask, orValue;
};

constexpr uint32_t kEhciFunction[3] = {0x9200, 0x9A00, 0xB200};
constexpr uint32_t kOhciFunction[4] = {0x9000, 0x9800, 0xB000, 0xA500};

std::vector<Update> ChipsetRows() {
  return {
      {false, 8, 0xFED803EF, 0x80, 0x00},
      {false, 16, 0xFED803F0, 0xFFFF, 0x0384},
      {false, 8, 0xFED803EF, 0xFF, 0x7F},
  };
}

std::vector<Update> EhciRows(uint32_t i) {
  uint32_t a = kEhciFunction[i], b = 0xF0008000 + i * 0x1000;
  return {
      {true, 32, a + 0x10, 0, b},
      {true, 8, a + 0x04, 0xFF, 0x02},
      {true, 16, a + 0x0C, 0, 0x4008},
      {false, 32, 0xFED803ED, 0xFFFFFFFF, 0x2},
      {false, 32, b + 0xC0, 0, 0x00020F00},
      {false, 32, b + 0xA4, 0xFF40FF40, 0x00400040},
      {false, 32, b + 0xBC, 0xFFFFEFFF, 0},
      {false, 32, b + 0xB4, 0xFFFFEF7F, 0x40},
      {false, 32, b + 0xB4, 0xFFFFFFFF, 0x1000},
      {true, 32, a + 0x50, 0xFFFFFFFF, 0x20800140},
      {true, 16, a + 0x52, 0xFFFF, 0x8000},
      {true, 32, a + 0x54, 0xFFFFFFFF, 0x1},
  };
}

std::vector<Update> OhciRows() {
  std::vector<Update> s;
  for (uint32_t j = 0; j < 4; j++) {
    s.push_back({true, 32, kOhciFunction[j] + 0x10, 0, 0xC0000000 + j * 0x1000});
    s.push_back({true, 8, kOhciFunction[j] + 0x04, 0xFF, 0x06});
  }
  return s;
}

// Byte-addressed register model that reads back what is written.
struct Model {
  std::map<uint64_t, uint8_t> bytes;
  uint32_t Get(uint64_t a, unsigned w) {
    uint32_t v = 0;
    for (unsigned i = 0; i < w / 8; i++) v |= uint32_t(bytes[a + i]) << (8 * i);
    return v;
  }
  void Set(uint64_t a, unsigned w, uint32_t v) {
    for (unsigned i = 0; i < w / 8; i++) bytes[a + i] = uint8_t(v >> (8 * i));
  }
};

constexpr uint64_t kConfigSpace = 1ull << 40;  // keeps config bytes apart in the model

// The exact accesses the updates make from the given state.
std::vector<Access> ExpectedAccesses(Model model, const std::vector<Update> &updates) {
  std::vector<Access> out;
  for (const Update &u : updates) {
    uint64_t key = u.pci ? kConfigSpace + u.address : u.address;
    uint32_t read = model.Get(key, u.width);
    uint32_t written = (read & u.andMask) | u.orValue;
    model.Set(key, u.width, written);
    if (u.pci) {
      uint16_t port = uint16_t(0xCFC + (u.width == 32 ? 0 : (u.address & 3)));
      out.push_back({Op::IoWrite, 32, 0xCF8, u.address | 0x80000000});
      out.push_back({Op::IoRead, u.width, port, read});
      out.push_back({Op::IoWrite, 32, 0xCF8, u.address | 0x80000000});
      out.push_back({Op::IoWrite, u.width, port, written});
    } else {
      out.push_back({Op::MmioRead, u.width, u.address, read});
      out.push_back({Op::MmioWrite, u.width, u.address, written});
    }
  }
  return out;
}

// Fills every register the sequence touches with random bytes, in both the
// platform and the model.
void RandomiseRegisters(RecordingPlatform &platform, Model &model, uint32_t start) {
  std::mt19937 random(start);
  auto fill = [&](bool pci, uint64_t address, unsigned count) {
    for (unsigned i = 0; i < count; i++) {
      uint8_t byte = uint8_t(random());
      if (pci) platform.config[uint32_t(address + i)] = byte;
      else platform.memory[address + i] = byte;
      model.bytes[(pci ? kConfigSpace : 0) + address + i] = byte;
    }
  };
  fill(false, 0xFED803ED, 5);
  for (uint32_t f : kEhciFunction) {
    fill(true, f + 0x04, 1);
    fill(true, f + 0x0C, 2);
    fill(true, f + 0x10, 4);
    fill(true, f + 0x50, 8);
  }
  for (uint32_t f : kOhciFunction) {
    fill(true, f + 0x04, 1);
    fill(true, f + 0x10, 4);
  }
  for (uint32_t i = 0; i < 3; i++) {
    uint64_t b = 0xF0008000 + i * 0x1000;
    for (uint32_t r : {0xA4u, 0xB4u, 0xBCu, 0xC0u}) fill(false, b + r, 4);
  }
}

void ExpectSameAccesses(const std::vector<Access> &expected, const std::vector<Access> &actual) {
  ASSERT_EQ(expected.size(), actual.size());
  for (size_t i = 0; i < expected.size(); i++)
    ASSERT_EQ(expected[i], actual[i]) << "access " << i << ": expected " << Describe(expected[i])
                                      << ", got " << Describe(actual[i]);
}

// Runs one stage from random register contents, so that every mask and value
// shows in what is written, and compares all its accesses with the rows.
template <typename Stage>
void CheckStage(uint32_t start, Stage stage, const std::vector<Update> &rows) {
  RecordingPlatform platform;
  Model model;
  RandomiseRegisters(platform, model, start);
  stage();
  ExpectSameAccesses(ExpectedAccesses(model, rows), platform.HardwareAccesses());
}

TEST(RegisterSequence, EachStageUnderRandomRegisterContents) {
  for (uint32_t start : {1u, 2u, 0xC0FFEEu}) {
    SCOPED_TRACE(start);
    CheckStage(start, [] { ProgramUsbChipsetRegisters(); }, ChipsetRows());
    CheckStage(start, [] {
      PEI_USB_CONTROLLER_PRIVATE record = {};
      record.EhciMmioBase[1] = 0xF0009000;
      InitEhciController(1, &record);
    }, EhciRows(1));
    CheckStage(start, [] { InitOhciControllers(); }, OhciRows());
  }
}

// Values that pin the masks down, independent of any model.
TEST(RegisterSequence, DocumentedExamples) {
  auto writes = [](const RecordingPlatform &p, bool pci, uint64_t address, unsigned width) {
    std::vector<uint32_t> values;
    uint32_t latched = 0;
    for (const Access &a : p.log) {
      if (a.op == Op::IoWrite && a.address == 0xCF8) latched = a.value & 0x7FFFFFFF;
      if (pci && a.op == Op::IoWrite && a.address >= 0xCFC && a.address <= 0xCFF &&
          (latched & ~3u) + (a.address - 0xCFC) == address && a.width == width)
        values.push_back(a.value);
      if (!pci && a.op == Op::MmioWrite && a.address == address && a.width == width)
        values.push_back(a.value);
    }
    return values;
  };

  {
    RecordingPlatform platform;
    platform.SetMemory(0xFED803EF, 8, 0x80);
    platform.SetMemory(0xFED803F0, 16, 0x0000);
    platform.SetMemory(0xF0009000 + 0xB4, 32, 0x00001080);
    platform.SetMemory(0xF0008000 + 0xA4, 32, 0xFFFFFFFF);
    platform.SetMemory(0xF0009000 + 0xA4, 32, 0x00000000);
    platform.SetConfig(0x9004, 8, 0x00);
    platform.SetConfig(0x9804, 8, 0x02);
    platform.SetConfig(0x920C, 16, 0xFFFF);
    FakePei pei;
    pei.RunEntry();
    EXPECT_EQ(writes(platform, false, 0xFED803EF, 8), (std::vector<uint32_t>{0x80, 0xFF}));
    EXPECT_EQ(writes(platform, false, 0xFED803F0, 16), (std::vector<uint32_t>{0x0384}));
    EXPECT_EQ(writes(platform, false, 0xF00090B4, 32), (std::vector<uint32_t>{0x40, 0x1040}));
    EXPECT_EQ(writes(platform, false, 0xF00080A4, 32), (std::vector<uint32_t>{0xFF40FF40}));
    EXPECT_EQ(writes(platform, false, 0xF00090A4, 32), (std::vector<uint32_t>{0x00400040}));
    EXPECT_EQ(writes(platform, true, 0x9004, 8), (std::vector<uint32_t>{0x06}));
    EXPECT_EQ(writes(platform, true, 0x9804, 8), (std::vector<uint32_t>{0x06}));
    EXPECT_EQ(writes(platform, true, 0x920C, 16), (std::vector<uint32_t>{0x4008}));
    EXPECT_EQ(writes(platform, true, 0x9A10, 32), (std::vector<uint32_t>{0xF0009000}));
    EXPECT_EQ(writes(platform, true, 0xA510, 32), (std::vector<uint32_t>{0xC0003000}));
    // The dword at 0xFED803ED: three updates, each writing back the three
    // upper bytes as read and setting bit 1 of the lowest.
    std::vector<uint32_t> chipset = writes(platform, false, 0xFED803ED, 32);
    ASSERT_EQ(chipset.size(), 3u);
    for (uint32_t v : chipset) EXPECT_EQ(v, 0x84FF0002u);
  }
  {
    RecordingPlatform platform;
    platform.SetMemory(0xFED803EF, 8, 0x7F);
    platform.SetMemory(0xFED803F0, 16, 0xFFFF);
    FakePei pei;
    pei.RunEntry();
    EXPECT_EQ(writes(platform, false, 0xFED803EF, 8), (std::vector<uint32_t>{0x00, 0x7F}));
    EXPECT_EQ(writes(platform, false, 0xFED803F0, 16), (std::vector<uint32_t>{0xFFFF}));
  }
}

}  // namespace
