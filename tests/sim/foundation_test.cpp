// The PEI Foundation for any PEIM (--any-peim): the services pointer below
// the IDT, each service as a PEIM calls it (the host calls the service's
// entry like a cdecl function, its outputs in the caller's variables), the
// notify callbacks, the CpuIo and PciCfg PPIs, and firmware-file input with
// its dependency expression through the built tool.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "depex.h"
#include "input.h"
#include "test_support.h"

using namespace peimsim;

namespace {

constexpr uint32_t kOut = kCallerData + 0x100;  // the caller's output variables
constexpr uint32_t kBuffer = kCallerData + 0x200;

uint32_t Entry(int n) { return kFoundationCode + uint32_t(n) * kServiceStride; }
uint32_t Slot(const char *name) { return Entry(ServiceSlotFromName(name)); }

// A platform for any PEIM around a small image of `code`.
struct AnyPeim {
  Platform platform;
  explicit AnyPeim(const std::vector<uint8_t> &code = {0x31, 0xC0, 0xC3},
                   MemoryWorld world = MemoryWorld::kAfter, bool ioPpis = false) {
    pe::Image image;
    std::string error;
    EXPECT_TRUE(pe::Parse(simtest::BuildImage(code), image, error)) << error;
    PlatformOptions options;
    options.anyPeim = true;
    options.memory = world;
    options.ioPpis = ioPpis;
    options.budget = 100000;
    EXPECT_TRUE(platform.Load(image, options, error)) << error;
    platform.Reset();
  }
  // Calls a service entry; the caller's output variables are writable.
  CallOutcome Service(uint32_t entry, const std::vector<uint32_t> &args) {
    return platform.Call(entry, args, {{kOut, 0x100}, {kBuffer, 0x100}});
  }
  std::string Kinds() const {
    std::string s;
    for (const Violation &v : platform.Violations()) s += "[" + v.kind + "] " + v.message + "\n";
    return s;
  }
};

TEST(Foundation, ServicesPointerLiesBelowTheIdt) {
  // sub esp,8; sidt [esp]; mov eax,[esp+2]; mov eax,[eax-4]; add esp,8;
  // cmp eax,[esp+8]; jne +3; xor eax,eax; ret; mov eax,EFI_UNSUPPORTED; ret
  AnyPeim p({0x83, 0xEC, 0x08, 0x0F, 0x01, 0x0C, 0x24, 0x8B, 0x44, 0x24, 0x02,
             0x8B, 0x40, 0xFC, 0x83, 0xC4, 0x08, 0x3B, 0x44, 0x24, 0x08, 0x75,
             0x03, 0x31, 0xC0, 0xC3, 0xB8, 0x03, 0x00, 0x00, 0x80, 0xC3});
  CallOutcome o = p.platform.RunEntry();
  EXPECT_TRUE(o.returned) << p.Kinds();
  EXPECT_EQ(o.eax, kEfiSuccess) << "[IDT base - 4] is not the PeiServices pointer";
  EXPECT_EQ(p.platform.Read32(kIdtBase - 4), kPeiServicesCell);
  EXPECT_EQ(p.platform.Read32(kPeiServicesTable + 24 + 4 * ServiceSlotFromName("CpuIo")),
            kCpuIoPpi);
  EXPECT_EQ(p.platform.Read32(kPeiServicesTable + 24 + 4 * ServiceSlotFromName("PciCfg")),
            kPciCfgPpi);
}

TEST(Foundation, HobListGrowsWithCreateHobAndAllocatePool) {
  AnyPeim p;
  ASSERT_EQ(p.Service(Slot("GetHobList"), {kPeiServicesCell, kOut}).eax, kEfiSuccess) << p.Kinds();
  uint32_t list = p.platform.Read32(kOut);
  EXPECT_EQ(list, kPoolBase);
  EXPECT_EQ(p.platform.Read32(list) & 0xFFFF, kHobHandoff);
  uint32_t endBefore = p.platform.Read32(list + 48);  // EfiEndOfHobList
  ASSERT_EQ(p.Service(Slot("CreateHob"), {kPeiServicesCell, kHobGuidExtension, 30, kOut}).eax,
            kEfiSuccess)
      << p.Kinds();
  uint32_t hob = p.platform.Read32(kOut);
  EXPECT_EQ(hob, endBefore) << "the new HOB takes the end marker's place";
  EXPECT_EQ(p.platform.Read32(hob), uint32_t(kHobGuidExtension) | 32u << 16)
      << "length rounded to 8";
  EXPECT_EQ(p.platform.Read32(hob + 32) & 0xFFFF, kHobEndOfList);
  EXPECT_EQ(p.platform.Read32(list + 48), hob + 32) << "the PHIT follows the end of the list";
  ASSERT_EQ(p.Service(Slot("AllocatePool"), {kPeiServicesCell, 100, kOut}).eax, kEfiSuccess);
  uint32_t pool = p.platform.Read32(kOut);
  EXPECT_EQ(pool, hob + 32 + 8) << "pool memory is a memory pool HOB's body";
  EXPECT_EQ(p.platform.Read32(pool - 8) & 0xFFFF, kHobMemoryPool);
  EXPECT_EQ(p.Service(Slot("AllocatePool"), {kPeiServicesCell, 0x10000, kOut}).eax,
            kEfiOutOfResources);
  // PeiCreateHob rounds a short length up to 8 and refuses what cannot be.
  ASSERT_EQ(p.Service(Slot("CreateHob"), {kPeiServicesCell, 4, 4, kOut}).eax, kEfiSuccess);
  EXPECT_EQ(p.platform.Read32(p.platform.Read32(kOut)), 4u | 8u << 16);
  EXPECT_EQ(p.Service(Slot("CreateHob"), {kPeiServicesCell, 4, 0xFFF9, kOut}).eax,
            kEfiInvalidParameter);
  EXPECT_EQ(p.Service(Slot("AllocatePool"), {kPeiServicesCell, 0xFFF0, kOut}).eax, kEfiSuccess)
      << "0xFFF0 bytes fill a HOB of 0xFFF8";
  EXPECT_EQ(p.Service(Slot("AllocatePool"), {kPeiServicesCell, 0xFFF1, kOut}).eax,
            kEfiOutOfResources);
  EXPECT_TRUE(p.platform.Violations().empty()) << p.Kinds();
}

TEST(Foundation, SetBootModeIsWhatGetBootModeAndThePhitSay) {
  AnyPeim p;
  ASSERT_EQ(p.Service(Slot("SetBootMode"), {kPeiServicesCell, kBootOnS3Resume}).eax, kEfiSuccess);
  ASSERT_EQ(p.Service(Slot("GetBootMode"), {kPeiServicesCell, kOut}).eax, kEfiSuccess);
  EXPECT_EQ(p.platform.Read32(kOut), kBootOnS3Resume);
  EXPECT_EQ(p.platform.Read32(kPoolBase + 12), kBootOnS3Resume) << "the PHIT's BootMode";
  p.platform.Reset();
  ASSERT_EQ(p.Service(Slot("GetBootMode"), {kPeiServicesCell, kOut}).eax, kEfiSuccess);
  EXPECT_EQ(p.platform.Read32(kOut), 0u) << "a new dispatch starts from --boot-mode";
}

TEST(Foundation, MemoryServicesCheckTheirDestination) {
  AnyPeim p;
  uint8_t source[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  ASSERT_TRUE(p.platform.Write(kBuffer, source, 8));
  p.Service(Slot("CopyMem"), {kOut, kBuffer, 8});
  uint8_t copied[8] = {};
  p.platform.Read(kOut, copied, 8);
  EXPECT_EQ(memcmp(copied, source, 8), 0);
  p.Service(Slot("SetMem"), {kOut, 4, 0x5A});
  EXPECT_EQ(p.platform.Read32(kOut), 0x5A5A5A5Au);
  EXPECT_TRUE(p.platform.Violations().empty()) << p.Kinds();
  // The services table is not the caller's to overwrite.
  p.Service(Slot("SetMem"), {kPeiServicesTable, 4, 0});
  EXPECT_NE(p.Kinds().find("[service-argument] SetMem was asked to write"), std::string::npos)
      << p.Kinds();
  EXPECT_NE(p.platform.Read32(kPeiServicesTable + 24), 0u);
}

TEST(Foundation, NotifyCallbackRunsWhenItsPpiIsInstalled) {
  // The callback: mov eax,[esp+12] (Ppi); mov dword [eax],0x600DF00D; xor eax,eax; ret
  AnyPeim p({0x8B, 0x44, 0x24, 0x0C, 0xC7, 0x00, 0x0D, 0xF0, 0x0D, 0x60, 0x31, 0xC0, 0xC3});
  ASSERT_EQ(p.Service(Slot("AllocatePages"), {kPeiServicesCell, 4, 1, kOut}).eax, kEfiSuccess);
  uint32_t page = p.platform.Read32(kOut);
  // The page holds the GUID, the PPI's interface, and the two descriptors.
  uint32_t guid = page, ppi = page + 0x10, notify = page + 0x20, install = page + 0x30;
  const uint32_t notifyDesc[3] = {0x80000020, guid, p.platform.LoadAddress() + simtest::kCodeRva};
  const uint32_t installDesc[3] = {0x80000010, guid, ppi};
  ASSERT_TRUE(p.platform.Write(guid, kUsbControllerPpiGuid.data(), 16));
  ASSERT_TRUE(p.platform.Write(notify, notifyDesc, 12));
  ASSERT_TRUE(p.platform.Write(install, installDesc, 12));
  ASSERT_EQ(p.Service(Slot("NotifyPpi"), {kPeiServicesCell, notify}).eax, kEfiSuccess) << p.Kinds();
  EXPECT_NE(p.platform.Read32(ppi), 0x600DF00Du) << "no callback before the PPI is there";
  CallOutcome o = p.Service(Slot("InstallPpi"), {kPeiServicesCell, install});
  EXPECT_TRUE(o.returned) << p.Kinds();
  EXPECT_EQ(o.eax, kEfiSuccess) << "InstallPpi's own status, after the callback";
  EXPECT_EQ(p.platform.Read32(ppi), 0x600DF00Du) << "the callback ran with the PPI";
  bool traced = false;
  for (const ServiceCall &c : p.platform.Services()) traced |= c.name == "Notify";
  EXPECT_TRUE(traced);
  EXPECT_TRUE(p.platform.Violations().empty()) << p.Kinds();
}

TEST(Foundation, PciCfgAndCpuIoReachTheTracedChipset) {
  AnyPeim p({0x31, 0xC0, 0xC3}, MemoryWorld::kAfter, true);
  // PciCfg.Read(PeiServices, This, Uint16, 00:12.2 +0, Buffer): EHCI 0's vendor ID.
  uint32_t address = 0x00120200;
  CallOutcome o =
      p.Service(Entry(kPciCfgEntries), {kPeiServicesCell, kPciCfgPpi, 1, address, 0, kOut});
  EXPECT_EQ(o.eax, kEfiSuccess) << p.Kinds();
  int fn = p.platform.chipset().FindFunction(0, 0x12, 2);
  ASSERT_GE(fn, 0);
  EXPECT_EQ(p.platform.Read32(kOut) & 0xFFFF,
            p.platform.chipset().Function(fn).Config32(0) & 0xFFFF);
  int ports = 0;
  for (const Event &e : p.platform.Events()) ports += e.kind == EventKind::kPort;
  EXPECT_EQ(ports, 2) << "CONFIG_ADDRESS, then CONFIG_DATA";
  // The call's arguments and what it wrote, as the JSON trace has them.
  const ServiceCall &read = p.platform.Services().back();
  ASSERT_EQ(read.in.list.size(), 4u);
  EXPECT_EQ(read.in.list[1].value, address);
  EXPECT_EQ(read.in.list[2].text, "00:12.2+0x00");
  EXPECT_EQ(read.in.list[3].value, kOut);
  ASSERT_EQ(read.out.list.size(), 1u);
  EXPECT_EQ(read.out.list[0].value, p.platform.Read32(kOut) & 0xFFFF);
  // CpuIo.IoRead32(PeiServices, This, 0xCF8): the value is the result.
  o = p.Service(Entry(kCpuIoEntries + 6), {kPeiServicesCell, kCpuIoPpi, 0xCF8, 0});
  EXPECT_EQ(o.eax, 0x80000000u | 0x12u << 11 | 2u << 8) << p.Kinds();
  const ServiceCall &port = p.platform.Services().back();
  ASSERT_EQ(port.in.list.size(), 1u);
  EXPECT_EQ(port.in.list[0].name + "=" + std::to_string(port.in.list[0].value), "Port=3320");
  ASSERT_EQ(port.out.list.size(), 1u);
  EXPECT_EQ(port.out.list[0].value, o.eax);
  // Absent functions read all ones, without complaint for any PEIM.
  o = p.Service(Entry(kPciCfgEntries), {kPeiServicesCell, kPciCfgPpi, 2, 0, 0, kOut});
  EXPECT_EQ(p.platform.Read32(kOut), 0xFFFFFFFFu);
  EXPECT_TRUE(p.platform.Violations().empty()) << p.Kinds();
}

// Each row: a call the Foundation refuses or that ends the run, and the
// violation that must name it.
struct Refusal {
  const char *name;
  int entry;
  std::vector<uint32_t> args;
  const char *kind, *text;
};

class RefusalTest : public ::testing::TestWithParam<Refusal> {};

TEST_P(RefusalTest, IsNamed) {
  AnyPeim p;
  const Refusal &r = GetParam();
  p.Service(Entry(r.entry), r.args);
  ASSERT_FALSE(p.platform.Violations().empty()) << r.name;
  EXPECT_EQ(p.platform.Violations().front().kind, r.kind) << p.Kinds();
  EXPECT_NE(p.platform.Violations().front().message.find(r.text), std::string::npos) << p.Kinds();
}

INSTANTIATE_TEST_SUITE_P(
    Foundation, RefusalTest,
    ::testing::Values(Refusal{"RegisterForShadowGivenPeiServices",
                              ServiceSlotFromName("RegisterForShadow"),
                              {kPeiServicesCell},
                              "service-argument",
                              "takes the module's file handle"},
                      Refusal{"ResetSystemEndsTheRun",
                              ServiceSlotFromName("ResetSystem"),
                              {kPeiServicesCell},
                              "reset",
                              "called ResetSystem"},
                      Refusal{"ResetSystem2EndsTheRun",
                              ServiceSlotFromName("ResetSystem2"),
                              {0, 0, 0, 0},
                              "reset",
                              "called ResetSystem2"},
                      // The CpuIo slot holds a PPI, not a function: calling its position is
                      // a call the Foundation does not carry out.
                      Refusal{"CallIntoTheCpuIoSlot",
                              ServiceSlotFromName("CpuIo"),
                              {kPeiServicesCell},
                              "unsupported-service",
                              "called CpuIo, which this PEI Foundation does not carry out"},
                      Refusal{"WrongPeiServices",
                              ServiceSlotFromName("GetBootMode"),
                              {0x1234, kOut},
                              "service-argument",
                              "not the pointer it was given"}),
    [](const ::testing::TestParamInfo<Refusal> &i) { return std::string(i.param.name); });

TEST(Foundation, InstallPpiTakesANullInterface) {
  AnyPeim p;
  ASSERT_EQ(p.Service(Slot("AllocatePages"), {kPeiServicesCell, 4, 1, kOut}).eax, kEfiSuccess);
  uint32_t page = p.platform.Read32(kOut);
  const uint32_t desc[3] = {0x80000010, page + 0x10, 0};
  p.platform.Write(page, desc, 12);
  p.platform.Write(page + 0x10, kStallPpiGuid.data(), 16);
  EXPECT_EQ(p.Service(Slot("InstallPpi"), {kPeiServicesCell, page}).eax, kEfiSuccess);
  EXPECT_TRUE(p.platform.Violations().empty()) << p.Kinds();
}

TEST(Foundation, DeadLoopIsNamed) {
  AnyPeim p({0xF3, 0x90, 0xEB, 0xFC});  // pause; jmp back
  CallOutcome o = p.platform.RunEntry();
  EXPECT_FALSE(o.returned);
  ASSERT_FALSE(p.platform.Violations().empty());
  EXPECT_EQ(p.platform.Violations().front().kind, "dead-loop") << p.Kinds();
}

// The volume services over OVMF's volumes, mapped as --file maps them.
TEST(Foundation, VolumeServicesWalkTheFirmwareOnOvmf) {
  const char *ovmf = "/usr/share/OVMF/OVMF32_CODE_4M.secboot.fd";
  const std::string pcdPeim = "9B3ADA4F-AE56-4C24-8DEA-F03B7558AE50";
  ModuleInput input;
  std::string error;
  if (!ReadModule(ovmf, pcdPeim, input, error)) GTEST_SKIP() << error;
  PlatformOptions options;
  options.anyPeim = true;
  Platform platform;
  ASSERT_TRUE(platform.Load(input.image, options, error)) << error;
  ASSERT_TRUE(MapFirmware(platform, input, error)) << error;
  platform.Reset();
  auto call = [&](const char *name, const std::vector<uint32_t> &args) {
    return platform.Call(Slot(name), args, {{kOut, 0x100}, {kBuffer, 0x100}}).eax;
  };
  // The volume holding PcdPeim, found by walking the volumes.
  const FvVolume *pei = nullptr;
  for (uint32_t i = 0;; i++) {
    uint32_t status = call("FfsFindNextVolume", {kPeiServicesCell, i, kOut});
    if (status == kEfiNotFound) break;
    ASSERT_EQ(status, kEfiSuccess);
    for (const FvVolume &v : platform.Volumes())
      if (v.address == platform.Read32(kOut))
        for (const FvFile &f : v.files)
          if (f.address == platform.FileHandle()) pei = &v;
  }
  ASSERT_NE(pei, nullptr) << "FfsFindNextVolume never handed out PcdPeim's volume";
  ASSERT_EQ(call("FfsGetVolumeInfo", {pei->address, kBuffer}), kEfiSuccess);
  Guid format{};
  platform.Read(kBuffer + 4, format.data(), 16);
  EXPECT_EQ(GuidName(format), "gEfiFirmwareFileSystem2Guid");
  EXPECT_EQ(platform.Read32(kBuffer + 36), pei->address);
  // The first PEIM (type 6) of the volume is PcdPeim: its handle, its name.
  const uint32_t none = 0;
  platform.Write(kOut, &none, 4);
  ASSERT_EQ(call("FfsFindNextFile", {kPeiServicesCell, 6, pei->address, kOut}), kEfiSuccess);
  uint32_t file = platform.Read32(kOut);
  EXPECT_EQ(file, platform.FileHandle());
  ASSERT_EQ(call("FfsGetFileInfo", {file, kBuffer}), kEfiSuccess);
  Guid name{};
  platform.Read(kBuffer, name.data(), 16);
  EXPECT_EQ(GuidText(name), pcdPeim);
  EXPECT_EQ(platform.Read32(kBuffer + 16) & 0xFF, 6u);
  // By name in its volume (PeiFfsFindFileByName wants one); then its PE32
  // section's data.
  platform.Write(kBuffer + 0x80, name.data(), 16);
  EXPECT_EQ(call("FfsFindFileByName", {kBuffer + 0x80, 0, kOut}), kEfiInvalidParameter);
  ASSERT_EQ(call("FfsFindFileByName", {kBuffer + 0x80, pei->address, kOut}), kEfiSuccess);
  EXPECT_EQ(platform.Read32(kOut), file);
  ASSERT_EQ(call("FfsFindSectionData", {kPeiServicesCell, 0x10, file, kOut}), kEfiSuccess);
  EXPECT_EQ(platform.Read32(platform.Read32(kOut)) & 0xFFFF, 0x5A4Du) << "MZ";
  EXPECT_EQ(call("FfsFindSectionData", {kPeiServicesCell, 0x12, file, kOut}), kEfiNotFound);
  EXPECT_EQ(call("FfsGetFileInfo", {0x12345678, kBuffer}), kEfiInvalidParameter);
  // The volume is the Foundation's: a write there is the module's fault.
  EXPECT_TRUE(platform.Violations().empty());
  platform.Call(Slot("SetMem"), {file, 4, 0}, {});
  EXPECT_FALSE(platform.Violations().empty());
}

// A spin that keeps writing memory is no dead loop: with an instruction
// budget out of reach, the wall-clock bound ends it, named.
TEST(Foundation, TimeLimitEndsARunTheBudgetWouldNot) {
  // l: inc dword [esp-8]; jmp l
  std::string spin = simtest::ScratchFile(
      "spin-writing.efi", simtest::BuildImage({0xFF, 0x44, 0x24, 0xF8, 0xEB, 0xFA}));
  simtest::ToolRun r = simtest::RunTool(
      {"--any-peim", "--quiet", "--budget", "1099511627776", "--time-limit", "1", spin});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("[time-limit]"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("ms of wall-clock time (the time limit, 1000 ms)"), std::string::npos)
      << r.err;
  simtest::ToolRun bad = simtest::RunTool({"--time-limit", "0", spin});
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("--time-limit"), std::string::npos) << bad.err;
}

// AllocatePages as PeiAllocatePages: from the top of free memory down to
// EfiFreeMemoryBottom (the end of the HOB list) and no further, a memory
// allocation HOB for each allocation, no pages no error.
TEST(Foundation, AllocatePagesStopsAtTheHobListAndDescribesEachAllocation) {
  AnyPeim p;
  ASSERT_EQ(p.Service(Slot("GetHobList"), {kPeiServicesCell, kOut}).eax, kEfiSuccess);
  uint32_t list = p.platform.Read32(kOut);
  uint32_t freeTop = p.platform.Read32(list + 32), freeBottom = p.platform.Read32(list + 40);
  uint32_t room = (freeTop - freeBottom) / kPageSize;
  EXPECT_EQ(p.Service(Slot("AllocatePages"), {kPeiServicesCell, 4, kPoolPages, kOut}).eax,
            kEfiOutOfResources)
      << "the pool's pages include the HOB list's";
  EXPECT_EQ(p.Service(Slot("AllocatePages"), {kPeiServicesCell, 4, room + 1, kOut}).eax,
            kEfiOutOfResources);
  uint32_t endBefore = p.platform.Read32(list + 48);
  ASSERT_EQ(p.Service(Slot("AllocatePages"), {kPeiServicesCell, 4, 2, kOut}).eax, kEfiSuccess);
  uint32_t pages = p.platform.Read32(kOut);
  EXPECT_EQ(pages, freeTop - 2 * kPageSize);
  EXPECT_EQ(p.platform.Read32(list + 32), pages) << "EfiFreeMemoryTop follows the allocation";
  EXPECT_EQ(p.platform.Read32(endBefore), uint32_t(kHobMemoryAllocation) | 48u << 16);
  EXPECT_EQ(p.platform.Read32(endBefore + 24), pages) << "MemoryBaseAddress";
  EXPECT_EQ(p.platform.Read32(endBefore + 32), 2 * kPageSize) << "MemoryLength";
  EXPECT_EQ(p.platform.Read32(endBefore + 40), 4u) << "MemoryType";
  EXPECT_EQ(p.Service(Slot("AllocatePages"), {kPeiServicesCell, 4, 0, kOut}).eax, kEfiSuccess);
  EXPECT_EQ(p.Service(Slot("AllocatePages"), {kPeiServicesCell, 7, 1, kOut}).eax,
            kEfiInvalidParameter)
      << "EfiConventionalMemory is not a type to allocate";
  // What is left above the (now longer) HOB list, and not a page more.
  room = (p.platform.Read32(list + 32) - p.platform.Read32(list + 40) - 48) / kPageSize;
  EXPECT_EQ(p.Service(Slot("AllocatePages"), {kPeiServicesCell, 4, room + 1, kOut}).eax,
            kEfiOutOfResources);
  EXPECT_EQ(p.Service(Slot("AllocatePages"), {kPeiServicesCell, 4, room, kOut}).eax, kEfiSuccess);
  EXPECT_GE(p.platform.Read32(kOut), p.platform.Read32(list + 40)) << "above EfiFreeMemoryBottom";
  EXPECT_TRUE(p.platform.Violations().empty()) << p.Kinds();
}

// FreePages as PeiFreePages: whole pages inside one allocation.
TEST(Foundation, FreePagesTakesPagesOfAnAllocation) {
  AnyPeim p;
  ASSERT_EQ(p.Service(Slot("AllocatePages"), {kPeiServicesCell, 4, 3, kOut}).eax, kEfiSuccess);
  uint32_t pages = p.platform.Read32(kOut);
  struct Case {
    const char *name;
    uint32_t memory, count, status;
  } cases[] = {
      {"NoPages", pages, 0, kEfiInvalidParameter},
      {"Unaligned", pages + 4, 1, kEfiInvalidParameter},
      {"NotAllocated", kRamImageBase, 1, kEfiNotFound},
      {"BeyondTheAllocation", pages + kPageSize, 3, kEfiNotFound},
      {"MiddlePage", pages + kPageSize, 1, kEfiSuccess},
      {"MiddlePageAgain", pages + kPageSize, 1, kEfiNotFound},
      {"FirstPage", pages, 1, kEfiSuccess},
  };
  for (const Case &c : cases)
    EXPECT_EQ(p.Service(Slot("FreePages"), {kPeiServicesCell, c.memory, 0, c.count}).eax, c.status)
        << c.name;
}

// LocatePpi writes only the outputs it is given; NotifyPpi's descriptor with
// both flags is a callback, not also a dispatch notification;
// RegisterForShadow registers once.
TEST(Foundation, PpiServicesAnswerAsThePeiCore) {
  AnyPeim p;
  ASSERT_TRUE(p.platform.Write(kBuffer, kStallPpiGuid.data(), 16));
  EXPECT_EQ(p.Service(Slot("LocatePpi"), {kPeiServicesCell, kBuffer, 0, 0, 0}).eax, kEfiSuccess)
      << "a NULL Ppi is no error";
  EXPECT_EQ(p.Service(Slot("LocatePpi"), {kPeiServicesCell, kBuffer, 1, 0, 0}).eax, kEfiNotFound);
  uint32_t handle = p.platform.FileHandle();
  EXPECT_EQ(p.Service(Slot("RegisterForShadow"), {handle}).eax, kEfiSuccess);
  EXPECT_EQ(p.Service(Slot("RegisterForShadow"), {handle}).eax, kEfiAlreadyStarted);
  EXPECT_TRUE(p.platform.Violations().empty()) << p.Kinds();
}

// The two memory worlds: after memory the MemoryDiscovered PPI is there and
// InstallPeiMemory changes nothing; before it, InstallPeiMemory takes
// OVMF's memory (just below 0x0F000000, beyond the platform's RAM).
TEST(Foundation, MemoryWorldDecidesMemoryDiscovered) {
  for (MemoryWorld world : {MemoryWorld::kBefore, MemoryWorld::kAfter}) {
    AnyPeim p({0x31, 0xC0, 0xC3}, world);
    bool after = world == MemoryWorld::kAfter;
    ASSERT_TRUE(p.platform.Write(kBuffer, kMemoryDiscoveredPpiGuid.data(), 16));
    EXPECT_EQ(p.Service(Slot("LocatePpi"), {kPeiServicesCell, kBuffer, 0, 0, kOut}).eax,
              after ? kEfiSuccess : kEfiNotFound)
        << MemoryWorldText(world);
    EXPECT_EQ(p.Service(Slot("InstallPeiMemory"), {kPeiServicesCell, 0x0C000000, 0, 0x03000000, 0})
                  .eax,
              kEfiSuccess)
        << MemoryWorldText(world);
    EXPECT_NE(p.platform.Services().back().results.find(after ? "already" : "the switch follows"),
              std::string::npos)
        << p.platform.Services().back().results;
  }
}

// Before memory, the entry that registered for shadowing runs again only
// once InstallPeiMemory was called, with the MemoryDiscovered PPI there, in
// a copy of the image loaded in memory.
TEST(Foundation, ShadowEntryFollowsInstallPeiMemory) {
  // push FileHandle; call [RegisterForShadow]; add esp,4; ret
  // (RegisterForShadow's address goes in at +3.)
  std::vector<uint8_t> code = {0xFF, 0x74, 0x24, 0x04, 0xB8, 0, 0, 0, 0, 0xFF, 0xD0,
                               0x83, 0xC4, 0x04, 0xC3};
  uint32_t slot = Slot("RegisterForShadow");
  memcpy(&code[5], &slot, 4);
  for (bool installs : {false, true}) {
    AnyPeim p(code, MemoryWorld::kBefore);
    if (installs)
      p.Service(Slot("InstallPeiMemory"), {kPeiServicesCell, 0x0C000000, 0, 0x03000000, 0});
    CallOutcome o = p.platform.RunEntry();
    EXPECT_TRUE(o.returned) << p.Kinds();
    std::vector<uint32_t> statuses;
    for (const ServiceCall &c : p.platform.Services())
      if (c.name == "RegisterForShadow") statuses.push_back(c.status);
    std::vector<uint32_t> expected = {kEfiSuccess};
    if (installs) expected.push_back(kEfiAlreadyStarted);
    EXPECT_EQ(statuses, expected) << (installs ? "with" : "without") << " InstallPeiMemory";
    std::vector<uint32_t> sites;
    for (const Event &e : p.platform.Events())
      if (e.kind == EventKind::kService && p.platform.Services()[size_t(e.service)].name ==
                                                 "RegisterForShadow")
        sites.push_back(e.eip);
    ASSERT_EQ(sites.size(), expected.size());
    EXPECT_TRUE(p.platform.InImage(sites[0])) << "the first entry runs where the image was loaded";
    if (installs) {
      EXPECT_FALSE(p.platform.InImage(sites[1])) << "the second runs in a copy";
      EXPECT_TRUE(sites[1] >= kRamImageBase && sites[1] < kRamImageEnd) << Hex(sites[1], 8);
      EXPECT_EQ(sites[1] & 0xFFFF, sites[0] - p.platform.LoadAddress())
          << "at the same offset of the copy";
    }
    EXPECT_EQ(std::any_of(p.platform.Ppis().begin(), p.platform.Ppis().end(),
                          [](const InstalledPpi &i) { return i.guid == kMemoryDiscoveredPpiGuid; }),
              installs);
  }
}

// EDK2's dispatcher makes passes in volume order: PeimA waits for X, PeimB
// installs X, PeimC installs Y, the module waits for X and Y. One pass runs
// PeimB, PeimC, then the module; PeimA only in a later pass.
TEST(FirmwareImageInput, EarlierPeimsRunInPassesInVolumeOrder) {
  simtest::ToolRun r = simtest::RunTool({"--any-peim", ROBUSTNESS2_DATA "/G9-dispatch-order.fv",
                                         "--file", "D0000000-0000-4000-8000-0000000000DD"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  size_t b = r.out.find("dispatched first: PeimB"), c = r.out.find("dispatched first: PeimC");
  EXPECT_NE(b, std::string::npos) << r.out;
  EXPECT_NE(c, std::string::npos) << r.out;
  EXPECT_LT(b, c) << r.out;
  EXPECT_EQ(r.out.find("PeimA"), std::string::npos) << "PeimA's turn comes after the module's";
}

// The PEIM of the second robustness report asks for all 256 pages of the
// pool, the HOB list's among them: refused.
TEST(Foundation, AllPagesOfThePoolAreNotHandedOut) {
  simtest::ToolRun r = simtest::RunTool({"--any-peim", ROBUSTNESS2_DATA "/G4-pages-over-hob.efi"});
  EXPECT_NE(r.out.find("256 pages, Memory -> stack)  => EFI_OUT_OF_RESOURCES"), std::string::npos)
      << r.out;
}

// Without a platform's PEIMs the services table holds the PEI core's own
// CpuIo and PciCfg: EFI_NOT_AVAILABLE_YET, reads of 0, nothing reaching a
// device.
TEST(Foundation, CoreCpuIoAndPciCfgReachNothing) {
  AnyPeim p;
  struct Case {
    const char *name;
    int entry;
    std::vector<uint32_t> args;
    uint32_t eax;
  } cases[] = {
      {"PciCfg.Read", kPciCfgEntries, {kPeiServicesCell, kPciCfgPpi, 1, 0x00120200, 0, kOut},
       kEfiNotAvailableYet},
      {"PciCfg.Write", kPciCfgEntries + 1, {kPeiServicesCell, kPciCfgPpi, 1, 0x00120200, 0, kOut},
       kEfiNotAvailableYet},
      {"CpuIo.Io.Read", kCpuIoEntries + 2, {kPeiServicesCell, kCpuIoPpi, 0, 0x402, 0, 1, kOut},
       kEfiNotAvailableYet},
      {"CpuIo.Mem.Write", kCpuIoEntries + 1,
       {kPeiServicesCell, kCpuIoPpi, 2, 0xFED80300, 0, 1, kOut}, kEfiNotAvailableYet},
      {"CpuIo.IoRead8", kCpuIoEntries + 4, {kPeiServicesCell, kCpuIoPpi, 0x402, 0}, 0},
      {"CpuIo.IoRead32", kCpuIoEntries + 6, {kPeiServicesCell, kCpuIoPpi, 0xCF8, 0}, 0},
      {"CpuIo.MemRead32", kCpuIoEntries + 14, {kPeiServicesCell, kCpuIoPpi, 0xFED803ED, 0}, 0},
  };
  for (const Case &c : cases) {
    CallOutcome o = p.Service(Entry(c.entry), c.args);
    EXPECT_EQ(o.eax, c.eax) << c.name;
  }
  EXPECT_EQ(p.platform.HardwareAccesses(Phase::kCall), 0u);
  EXPECT_TRUE(p.platform.Violations().empty()) << p.Kinds();
}

// ReportStatusCode goes to the status code PPI a PEIM installed (its
// function's status is the service's), and is not available before one is.
TEST(Foundation, ReportStatusCodeReachesTheStatusCodePpi) {
  // The PPI's ReportStatusCode: mov eax,[esp+12] (Value); ret
  AnyPeim p({0x8B, 0x44, 0x24, 0x0C, 0xC3});
  std::vector<uint32_t> report = {kPeiServicesCell, 0x00000002, 0x0305ABCD, 0, 0, 0};
  EXPECT_EQ(p.Service(Slot("ReportStatusCode"), report).eax, kEfiNotAvailableYet);
  ASSERT_EQ(p.Service(Slot("AllocatePages"), {kPeiServicesCell, 4, 1, kOut}).eax, kEfiSuccess);
  uint32_t page = p.platform.Read32(kOut), guid = page, ppi = page + 0x10, desc = page + 0x20;
  uint32_t function = p.platform.LoadAddress() + simtest::kCodeRva;
  const uint32_t d[3] = {0x80000010, guid, ppi};
  ASSERT_TRUE(p.platform.Write(guid, kStatusCodePpiGuid.data(), 16));
  ASSERT_TRUE(p.platform.Write(ppi, &function, 4));
  ASSERT_TRUE(p.platform.Write(desc, d, 12));
  ASSERT_EQ(p.Service(Slot("InstallPpi"), {kPeiServicesCell, desc}).eax, kEfiSuccess) << p.Kinds();
  CallOutcome o = p.Service(Slot("ReportStatusCode"), report);
  EXPECT_TRUE(o.returned) << p.Kinds();
  EXPECT_EQ(o.eax, 0x0305ABCDu) << "the PPI's function ran with the caller's Value";
  EXPECT_EQ(p.platform.Services().back().status, 0x0305ABCDu) << "and its status is traced";
  EXPECT_TRUE(p.platform.Violations().empty()) << p.Kinds();
}

// The dependency expression evaluator, table-driven.
struct DepexCase {
  const char *name;
  std::vector<uint8_t> bytes;
  bool valid, satisfied;
  const char *text;
};

std::vector<uint8_t> Push(const Guid &g) {
  std::vector<uint8_t> b{0x02};
  b.insert(b.end(), g.begin(), g.end());
  return b;
}
std::vector<uint8_t> Cat(std::vector<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (auto &p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST(Depex, EvaluatesAgainstTheInstalledPpis) {
  auto stallOnly = [](const Guid &g) { return g == kStallPpiGuid; };
  const DepexCase cases[] = {
      {"Stall", Cat({Push(kStallPpiGuid), {0x08}}), true, true, "gEfiPeiStallPpiGuid"},
      {"Missing", Cat({Push(kUsbControllerPpiGuid), {0x08}}), true, false, "PUSH"},
      {"And", Cat({Push(kStallPpiGuid), Push(kUsbControllerPpiGuid), {0x03, 0x08}}), true, false,
       "AND"},
      {"Or", Cat({Push(kStallPpiGuid), Push(kUsbControllerPpiGuid), {0x04, 0x08}}), true, true,
       "OR"},
      {"NotMissing", Cat({Push(kUsbControllerPpiGuid), {0x05, 0x08}}), true, true, "NOT"},
      {"True", {0x06, 0x08}, true, true, "TRUE END"},
      {"False", {0x07, 0x08}, true, false, "FALSE END"},
      {"Empty", {}, false, false, "empty"},
      {"NoEnd", {0x06}, false, false, "no END"},
      // The Foundation reads no further than END (PeimDispatchReadiness).
      {"TrailingBytes", {0x06, 0x08, 0x00}, true, true, "TRUE END"},
      {"TrailingGarbage", {0x07, 0x08, 0x42, 0x03}, true, false, "FALSE END"},
      {"TwoValues", {0x06, 0x06, 0x08}, false, false, "2 values"},
      {"AndUnderflow", {0x06, 0x03, 0x08}, false, false, "AND needs two values"},
      {"ShortGuid", {0x02, 0x01, 0x02}, false, false, "whole GUID"},
      {"DxeBefore", Cat({{0x00}, Push(kStallPpiGuid)}), false, false, "DXE"},
      {"UnknownOpcode", {0x42}, false, false, "unknown opcode 0x42"},
      {"DeepStack", std::vector<uint8_t>(100, 0x06), false, false, "more than 64 values"},
  };
  for (const DepexCase &c : cases) {
    DepexResult r = EvaluateDepex(c.bytes.data(), c.bytes.size(), stallOnly);
    EXPECT_EQ(r.valid, c.valid) << c.name << ": " << r.error;
    EXPECT_EQ(r.satisfied, c.satisfied) << c.name;
    std::string shown = r.valid ? r.text : r.error;
    EXPECT_NE(shown.find(c.text), std::string::npos) << c.name << ": " << shown;
  }
}

// The module's firmware file through the tool: its dependency expression
// waits for the Stall PPI.
TEST(FirmwareFileInput, DependencyExpressionDecidesTheDispatch) {
  simtest::ToolRun met = simtest::RunTool({"--quiet", USB_PEIM_FFS});
  EXPECT_EQ(met.status, 0) << met.out << met.err;
  simtest::ToolRun text = simtest::RunTool({USB_PEIM_FFS});
  EXPECT_NE(text.out.find("PUSH gEfiPeiStallPpiGuid END: met"), std::string::npos) << text.out;
  simtest::ToolRun json = simtest::RunTool({"--format", "json", USB_PEIM_FFS});
  EXPECT_NE(json.out.find("\"dispatch\": \"PUSH gEfiPeiStallPpiGuid END: met\""), std::string::npos)
      << json.out.substr(0, 400);
  EXPECT_NE(text.out.find("PE32 image in firmware file 58759340-0A30-4DFD-88F9-3E9274720402"),
            std::string::npos)
      << text.out;

  simtest::ToolRun unmet = simtest::RunTool({"--no-stall-ppi", USB_PEIM_FFS});
  EXPECT_EQ(unmet.status, 1);
  EXPECT_NE(unmet.out.find("not dispatchable"), std::string::npos) << unmet.out;
  EXPECT_NE(unmet.err.find("gEfiPeiStallPpiGuid not installed"), std::string::npos) << unmet.err;
  EXPECT_EQ(std::count(unmet.err.begin(), unmet.err.end(), '\n'), 1) << unmet.err;

  // Forced, it runs and looks for the Stall PPI in vain (how the module
  // copies with that is its own business: here only that it ran).
  simtest::ToolRun forced = simtest::RunTool({"--no-stall-ppi", "--force", USB_PEIM_FFS});
  EXPECT_TRUE(forced.status == 0 || forced.status == 1) << forced.err;
  EXPECT_NE(forced.out.find("dispatched anyway (--force)"), std::string::npos) << forced.out;
  EXPECT_NE(forced.out.find("LocatePpi (gEfiPeiStallPpiGuid"), std::string::npos) << forced.out;
  EXPECT_NE(forced.out.find("=> EFI_NOT_FOUND"), std::string::npos) << forced.out;
}

// The module's TE image makes the same trace as its PE32 image (the trace
// comparison ignores image offsets, which differ between the two).
TEST(FirmwareFileInput, TeImageRunsLikeThePe32Image) {
  simtest::ToolRun pe32 = simtest::RunTool({USB_PEIM_IMAGE});
  ASSERT_EQ(pe32.status, 0) << pe32.err;
  std::string saved =
      simtest::ScratchFile("pe32-run.txt", std::vector<uint8_t>(pe32.out.begin(), pe32.out.end()));
  simtest::ToolRun te = simtest::RunTool({"--expect", saved, USB_PEIM_TE});
  EXPECT_EQ(te.status, 0) << te.out << te.err;
  EXPECT_NE(te.out.find("format        TE"), std::string::npos) << te.out;
  simtest::ToolRun json = simtest::RunTool({"--format", "json", USB_PEIM_TE});
  EXPECT_NE(json.out.find("\"source\": \"TE image\", \"dispatch\": null, \"format\": \"TE\""),
            std::string::npos)
      << json.out.substr(0, 400);
}

TEST(FirmwareFileInput, BadFirmwareIsRefusedOnOneLine) {
  std::string notFirmware =
      simtest::ScratchFile("not-firmware.ffs", std::vector<uint8_t>(64, 0x11));
  simtest::ToolRun r = simtest::RunTool({notFirmware});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  EXPECT_NE(r.err.find("not-firmware.ffs"), std::string::npos) << r.err;
  simtest::ToolRun g = simtest::RunTool({"--file", "not-a-guid", USB_PEIM_FFS});
  EXPECT_EQ(g.status, 2);
  EXPECT_NE(g.err.find("--file takes a file name GUID"), std::string::npos) << g.err;
}

}  // namespace
