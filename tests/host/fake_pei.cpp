#include "fake_pei.h"

#include <cstring>
#include <stdexcept>

namespace {
FakePei *gPei = nullptr;

EFI_STATUS EFIAPI FakeGetBootMode(const EFI_PEI_SERVICES **, EFI_BOOT_MODE *BootMode) {
  gPei->calls.push_back("GetBootMode");
  if (!EFI_ERROR(gPei->getBootModeStatus) || gPei->getBootModeWritesOnFailure)
    *BootMode = gPei->bootMode;
  return gPei->getBootModeStatus;
}

EFI_STATUS EFIAPI FakeLocatePpi(const EFI_PEI_SERVICES **, const EFI_GUID *Guid, UINTN Instance,
                                EFI_PEI_PPI_DESCRIPTOR **Descriptor, VOID **Ppi) {
  gPei->calls.push_back("LocatePpi");
  if (memcmp(Guid, &gEfiPeiStallPpiGuid, sizeof(EFI_GUID)) != 0 || Instance != 0 ||
      Descriptor != nullptr)
    throw std::runtime_error("LocatePpi asked for something other than the Stall PPI");
  if (EFI_ERROR(gPei->locateStatus)) return gPei->locateStatus;
  *Ppi = &gPei->stall;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI FakeAllocatePages(const EFI_PEI_SERVICES **, EFI_MEMORY_TYPE Type, UINTN Pages,
                                    EFI_PHYSICAL_ADDRESS *Memory) {
  gPei->calls.push_back("AllocatePages");
  gPei->allocatedType = Type;
  gPei->allocatedPages = Pages;
  if (EFI_ERROR(gPei->allocateStatus)) return gPei->allocateStatus;
  *Memory = (EFI_PHYSICAL_ADDRESS)(uintptr_t)gPei->page;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI FakeInstallPpi(const EFI_PEI_SERVICES **, const EFI_PEI_PPI_DESCRIPTOR *List) {
  gPei->calls.push_back("InstallPpi");
  gPei->installed = List;
  return gPei->installStatus;
}

EFI_STATUS EFIAPI FakeStall(const EFI_PEI_SERVICES **Services, const EFI_PEI_STALL_PPI *This,
                            UINTN Microseconds) {
  gPei->calls.push_back("Stall");
  gPei->stallServices = Services;
  gPei->stallThis = This;
  gPei->stallMicroseconds.push_back(Microseconds);
  return EFI_SUCCESS;
}
}  // namespace

FakePei::FakePei() {
  if (gPei) throw std::logic_error("one fake PEI at a time");
  gPei = this;
  memset(page, 0xA5, sizeof page);
  memset(&table, 0, sizeof table);
  table.GetBootMode = FakeGetBootMode;
  table.LocatePpi = FakeLocatePpi;
  table.AllocatePages = FakeAllocatePages;
  table.InstallPpi = FakeInstallPpi;
  tablePointer = &table;
  stall.Resolution = 1;
  stall.Stall = FakeStall;
}

FakePei::~FakePei() { gPei = nullptr; }

EFI_STATUS FakePei::RunEntry(EFI_PEI_FILE_HANDLE FileHandle) {
  return UsbControllerPeimEntry(FileHandle, PeiServices());
}

PEI_USB_CONTROLLER_PPI *FakePei::Ppi() const {
  return installed ? (PEI_USB_CONTROLLER_PPI *)installed->Ppi : nullptr;
}
