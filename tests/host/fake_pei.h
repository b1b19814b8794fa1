// A stand-in PEI Foundation for host tests: a services table whose four
// services the module uses are scripted and logged, and a Stall PPI that
// records what it is asked.
#ifndef TESTS_HOST_FAKE_PEI_H_
#define TESTS_HOST_FAKE_PEI_H_

#include <cstdint>
#include <string>
#include <vector>

#include "usb_controller_private.h"

struct FakePei {
  FakePei();
  ~FakePei();

  // Script.
  EFI_BOOT_MODE bootMode = BOOT_WITH_FULL_CONFIGURATION;
  EFI_STATUS getBootModeStatus = EFI_SUCCESS;
  bool getBootModeWritesOnFailure = false;
  EFI_STATUS locateStatus = EFI_SUCCESS;
  EFI_STATUS allocateStatus = EFI_SUCCESS;
  EFI_STATUS installStatus = EFI_SUCCESS;

  // Log: service names in call order, and what they were given.
  std::vector<std::string> calls;
  std::vector<UINTN> stallMicroseconds;
  const EFI_PEI_PPI_DESCRIPTOR *installed = nullptr;
  const EFI_PEI_SERVICES **stallServices = nullptr;
  const EFI_PEI_STALL_PPI *stallThis = nullptr;
  EFI_MEMORY_TYPE allocatedType = EfiReservedMemoryType;
  UINTN allocatedPages = 0;

  // The page handed out by AllocatePages (4 KiB, filled with 0xA5).
  alignas(4096) uint8_t page[4096];

  EFI_PEI_SERVICES table;
  const EFI_PEI_SERVICES *tablePointer;
  const EFI_PEI_SERVICES **PeiServices() { return &tablePointer; }
  EFI_PEI_STALL_PPI stall;

  EFI_STATUS RunEntry(EFI_PEI_FILE_HANDLE FileHandle = nullptr);
  // The installed interface, as a consumer finds it.
  PEI_USB_CONTROLLER_PPI *Ppi() const;
};

extern "C" EFI_STATUS EFIAPI UsbControllerPeimEntry(EFI_PEI_FILE_HANDLE FileHandle,
                                                    const EFI_PEI_SERVICES **PeiServices);

#endif  // TESTS_HOST_FAKE_PEI_H_
