// The start-up sequence as the PEI Foundation sees it: services called and
// their order, by boot mode and when services fail; the installed PPI and
// its one service.
#include <gtest/gtest.h>

#include <cstring>

#include "fake_pei.h"
#include "recording_platform.h"

namespace {

using Calls = std::vector<std::string>;
const Calls kFullSequence = {"GetBootMode", "LocatePpi", "AllocatePages", "InstallPpi", "Stall"};

TEST(Entry, BootModes) {
  for (EFI_BOOT_MODE mode : {0x00u, 0x01u, 0x05u, 0x10u, 0x11u, 0x12u, 0x20u}) {
    SCOPED_TRACE(mode);
    RecordingPlatform platform;
    FakePei pei;
    pei.bootMode = mode;
    ASSERT_EQ(pei.RunEntry(), EFI_SUCCESS);
    if (mode == BOOT_ON_S3_RESUME) {
      EXPECT_EQ(pei.calls, Calls{"GetBootMode"});
      EXPECT_TRUE(platform.log.empty());
      EXPECT_TRUE(std::all_of(pei.page, pei.page + 4096, [](uint8_t b) { return b == 0xA5; }));
    } else {
      EXPECT_EQ(pei.calls, kFullSequence);
      EXPECT_EQ(platform.HardwareAccesses().size(), 146u);
      EXPECT_EQ(pei.allocatedType, EfiBootServicesData);
      EXPECT_EQ(pei.allocatedPages, 1u);
      EXPECT_EQ(pei.stallMicroseconds, std::vector<UINTN>{1000000});
      EXPECT_EQ(pei.stallServices, pei.PeiServices());
      EXPECT_EQ(pei.stallThis, &pei.stall);
    }
  }
}

TEST(Entry, FileHandleHasNoEffect) {
  std::vector<Access> first;
  for (uintptr_t handle : {uintptr_t(0), uintptr_t(0x1234), ~uintptr_t(0)}) {
    RecordingPlatform platform;
    FakePei pei;
    ASSERT_EQ(pei.RunEntry((EFI_PEI_FILE_HANDLE)handle), EFI_SUCCESS);
    EXPECT_EQ(pei.calls, kFullSequence);
    if (first.empty()) first = platform.log;
    else EXPECT_EQ(platform.log, first);
  }
}

TEST(Entry, FailedServices) {
  {  // GetBootMode fails: the mode is unknown, not S3; even a stale 0x11 is ignored.
    RecordingPlatform platform;
    FakePei pei;
    pei.getBootModeStatus = EFI_UNSUPPORTED;
    pei.getBootModeWritesOnFailure = true;
    pei.bootMode = BOOT_ON_S3_RESUME;
    EXPECT_EQ(pei.RunEntry(), EFI_SUCCESS);
    EXPECT_EQ(pei.calls, kFullSequence);
    EXPECT_EQ(platform.HardwareAccesses().size(), 146u);
  }
  {  // No Stall PPI: program and publish, skip the wait, report the failure.
    RecordingPlatform platform;
    FakePei pei;
    pei.locateStatus = EFI_NOT_FOUND;
    EXPECT_EQ(pei.RunEntry(), EFI_NOT_FOUND);
    EXPECT_EQ(pei.calls, (Calls{"GetBootMode", "LocatePpi", "AllocatePages", "InstallPpi"}));
    EXPECT_EQ(platform.HardwareAccesses().size(), 146u);
    ASSERT_NE(pei.Ppi(), nullptr);
  }
  {  // No page: stop at once; nothing touched, nothing installed.
    RecordingPlatform platform;
    FakePei pei;
    pei.allocateStatus = EFI_OUT_OF_RESOURCES;
    EXPECT_EQ(pei.RunEntry(), EFI_OUT_OF_RESOURCES);
    EXPECT_EQ(pei.calls, (Calls{"GetBootMode", "LocatePpi", "AllocatePages"}));
    EXPECT_TRUE(platform.log.empty());
  }
  {  // Install fails: the wait still follows, and the install's status is returned.
    RecordingPlatform platform;
    FakePei pei;
    pei.installStatus = EFI_OUT_OF_RESOURCES;
    EXPECT_EQ(pei.RunEntry(), EFI_OUT_OF_RESOURCES);
    EXPECT_EQ(pei.calls, kFullSequence);
    EXPECT_EQ(pei.stallMicroseconds, std::vector<UINTN>{1000000});
    EXPECT_EQ(platform.HardwareAccesses().size(), 146u);
  }
  {  // Both fail: the failed install is what is reported.
    RecordingPlatform platform;
    FakePei pei;
    pei.locateStatus = EFI_NOT_FOUND;
    pei.installStatus = EFI_OUT_OF_RESOURCES;
    EXPECT_EQ(pei.RunEntry(), EFI_OUT_OF_RESOURCES);
    EXPECT_TRUE(pei.stallMicroseconds.empty());
  }
}

TEST(UsbControllerPpi, InstalledRecord) {
  RecordingPlatform platform;
  FakePei pei;
  ASSERT_EQ(pei.RunEntry(), EFI_SUCCESS);
  ASSERT_NE(pei.installed, nullptr);
  // The record lies at the start of the page; the descriptor is its own.
  auto *record = (PEI_USB_CONTROLLER_PRIVATE *)pei.page;
  EXPECT_EQ(pei.installed, &record->PpiList);
  EXPECT_EQ(pei.installed->Flags, 0x80000010u);
  EXPECT_EQ(memcmp(pei.installed->Guid, &gPeiUsbControllerPpiGuid, 16), 0);
  const uint8_t guidBytes[16] = {0xDE, 0xF6, 0xC1, 0x3B, 0x3E, 0x69, 0x47, 0x45,
                                 0xA3, 0x00, 0x21, 0x82, 0x3C, 0xA4, 0x20, 0xB2};
  EXPECT_EQ(memcmp(&gPeiUsbControllerPpiGuid, guidBytes, 16), 0);
  EXPECT_EQ(pei.installed->Ppi, &record->UsbControllerPpi);
  EXPECT_EQ(record->EhciMmioBase[0], 0xF0008000u);
  EXPECT_EQ(record->EhciMmioBase[2], 0xF000A000u);
  // Only the record is cleared and filled; the rest of the page is untouched.
  EXPECT_TRUE(std::all_of(pei.page + sizeof(PEI_USB_CONTROLLER_PRIVATE), pei.page + 4096,
                          [](uint8_t b) { return b == 0xA5; }));
  // Each base is in the record before its controller's BAR is written.
  // (The record is complete before InstallPpi, which the fake logs last.)
}

TEST(UsbControllerPpi, GetUsbController) {
  RecordingPlatform platform;
  FakePei pei;
  ASSERT_EQ(pei.RunEntry(), EFI_SUCCESS);
  PEI_USB_CONTROLLER_PPI *ppi = pei.Ppi();
  size_t accesses = platform.log.size();
  for (EFI_PEI_SERVICES **services :
       {(EFI_PEI_SERVICES **)pei.PeiServices(), (EFI_PEI_SERVICES **)nullptr}) {
    for (unsigned id = 0; id < 256; id++) {
      UINTN type = 0x5555, base = 0x6666;
      EFI_STATUS status = ppi->GetUsbController(services, ppi, UINT8(id), &type, &base);
      if (id < 3) {
        EXPECT_EQ(status, EFI_SUCCESS);
        EXPECT_EQ(type, UINTN(PEI_EHCI_CONTROLLER));
        EXPECT_EQ(base, 0xF0008000u + id * 0x1000);
      } else {
        EXPECT_EQ(status, EFI_INVALID_PARAMETER) << id;
        EXPECT_EQ(type, 0x5555u);
        EXPECT_EQ(base, 0x6666u);
      }
    }
  }
  UINTN value = 0x7777;
  EXPECT_EQ(ppi->GetUsbController(nullptr, ppi, 0, nullptr, &value), EFI_INVALID_PARAMETER);
  EXPECT_EQ(ppi->GetUsbController(nullptr, ppi, 0, &value, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ(value, 0x7777u);
  EXPECT_EQ(platform.log.size(), accesses) << "the service touches no hardware";
}

}  // namespace
