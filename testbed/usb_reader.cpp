// Test-bed reader of a USB stick through a PEI USB stack (EDK2's EhciPei,
// UsbBusPei and UsbBotPei on the module's PEI_USB_CONTROLLER_PPI). Runs once
// memory is there and waits, through notifications, for the virtual block
// I/O PPIs; when the mass-storage PEIM installs them it reports on the debug
// console, then ends QEMU through isa-debug-exit:
//   - both block I/O PPIs: device count and the first device's media;
//   - LBA 0, a run of kRunBlocks blocks in the middle and the last LBA, read
//     through each PPI and checked against the pattern the test bed writes
//     into the stick's image (below), with the tag that image carries;
//   - each controller the module reports, and for the EHCI ones the root
//     ports holding an enabled device (so, where the stick was found) and
//     the command and status registers; the EHCI PCI functions with their
//     BAR0 and command register.
// If PEI ends first (no block device came), it reports the same about the
// controllers, and how many EHCI host controller PPIs were installed, so the
// log tells a controller the host controller PEIM gave up on.
//
// The reader must be registered for the end of PEI before the Stall
// provider, which ends QEMU there too: the test bed puts it first in the
// volume (both wait for memory, so they run in volume order).
//
// The stick's pattern, per 512-byte block L of a stick tagged T:
//   bytes 0-7 "USBSTICK", 8-11 T, 12-15 L (little endian),
//   byte i >= 16: (L * 167 + i * 59 + (T >> (8 * (i % 4)))) mod 256.
#include "testbed.h"

using namespace testbed;

namespace {

// --- The virtual block I/O PPIs (PI, recovery block I/O), IA-32 layouts -----

// 695D8AA1-42EE-4C46-805C-6EA6BCE799E3
constexpr EFI_GUID kBlockIoPpiGuid = {
    0x695D8AA1, 0x42EE, 0x4C46, {0x80, 0x5C, 0x6E, 0xA6, 0xBC, 0xE7, 0x99, 0xE3}};
// 26CC0FAD-BEB3-478A-91B2-0C188F726198
constexpr EFI_GUID kBlockIo2PpiGuid = {
    0x26CC0FAD, 0xBEB3, 0x478A, {0x91, 0xB2, 0x0C, 0x18, 0x8F, 0x72, 0x61, 0x98}};

struct BlockIoMedia {
  UINT32 DeviceType;  // an enumeration: 32 bits
  BOOLEAN MediaPresent;
  UINTN LastBlock;
  UINTN BlockSize;
};
static_assert(sizeof(BlockIoMedia) == 16, "block I/O media layout");

struct BlockIo2Media {
  UINT8 InterfaceType;
  BOOLEAN RemovableMedia;
  BOOLEAN MediaPresent;
  BOOLEAN ReadOnly;
  UINT32 BlockSize;
  UINT64 LastBlock;
};
static_assert(sizeof(BlockIo2Media) == 16, "block I/O 2 media layout");

struct BlockIoPpi;
struct BlockIoPpi {
  EFI_STATUS(EFIAPI *GetNumberOfBlockDevices)(EFI_PEI_SERVICES **PeiServices, BlockIoPpi *This,
                                              UINTN *NumberBlockDevices);
  EFI_STATUS(EFIAPI *GetBlockDeviceMediaInfo)(EFI_PEI_SERVICES **PeiServices, BlockIoPpi *This,
                                              UINTN DeviceIndex, BlockIoMedia *MediaInfo);
  EFI_STATUS(EFIAPI *ReadBlocks)(EFI_PEI_SERVICES **PeiServices, BlockIoPpi *This,
                                 UINTN DeviceIndex, UINT64 StartLba, UINTN BufferSize,
                                 VOID *Buffer);
};

struct BlockIo2Ppi;
struct BlockIo2Ppi {
  UINT64 Revision;
  EFI_STATUS(EFIAPI *GetNumberOfBlockDevices)(EFI_PEI_SERVICES **PeiServices, BlockIo2Ppi *This,
                                              UINTN *NumberBlockDevices);
  EFI_STATUS(EFIAPI *GetBlockDeviceMediaInfo)(EFI_PEI_SERVICES **PeiServices, BlockIo2Ppi *This,
                                              UINTN DeviceIndex, BlockIo2Media *MediaInfo);
  EFI_STATUS(EFIAPI *ReadBlocks)(EFI_PEI_SERVICES **PeiServices, BlockIo2Ppi *This,
                                 UINTN DeviceIndex, UINT64 StartLba, UINTN BufferSize,
                                 VOID *Buffer);
};
static_assert(sizeof(BlockIo2Ppi) == 24, "block I/O 2 PPI layout");

// --- The test bed ---------------------------------------------------------

const char kSource[] = "usb-reader";
// QEMU status 69: the reader's report is complete; 71: PEI ended first.
constexpr UINT32 kExitUsbReadDone = 0x22;
constexpr UINT32 kExitNoBlockDevice = 0x23;
// FEDD6305-E2D7-4ED5-9FAA-DA080E336C22: the EHCI host controller PPI that the
// host controller PEIM installs once per controller it started.
constexpr EFI_GUID kUsb2HostControllerPpiGuid = {
    0xFEDD6305, 0xE2D7, 0x4ED5, {0x9F, 0xAA, 0xDA, 0x08, 0x0E, 0x33, 0x6C, 0x22}};
constexpr UINTN kBlockSize = 512;
constexpr UINT32 kRunBlocks = 16;
constexpr UINT32 kBufferPages = kRunBlocks * kBlockSize / 4096;
constexpr UINT32 kIdLimit = 256;

constexpr UINT32 kBarMemoryMask = 0xFFFFFFF0;
// EHCI: HCSPARAMS.N_PORTS, and PORTSC at operational base + 0x44 + 4 * port.
constexpr UINT32 kHcsParams = 0x04;
constexpr UINT32 kUsbCmd = 0x00;  // operational registers
constexpr UINT32 kUsbSts = 0x04;
constexpr UINT32 kPortScBase = 0x44;
constexpr UINT32 kPortConnected = 1u << 0;
constexpr UINT32 kPortEnabled = 1u << 2;
constexpr UINT32 kPortOwnedByCompanion = 1u << 13;

struct EhciFunction {
  UINT8 Device;
  UINT8 Function;
};
const EhciFunction kEhciFunctions[] = {{0x12, 2}, {0x13, 2}, {0x16, 2}};

UINT32 Get32(const UINT8 *P) {
  return (UINT32)P[0] | (UINT32)P[1] << 8 | (UINT32)P[2] << 16 | (UINT32)P[3] << 24;
}

UINT8 Expected(UINT32 Lba, UINT32 Tag, UINT32 I) {
  return (UINT8)(Lba * 167 + I * 59 + (Tag >> (8 * (I % 4))));
}

// The blocks against the pattern; the tag is taken from the first block.
// Logs one line; *Tag gets the tag the blocks carry.
VOID CheckBlocks(const char *Interface, UINT32 Lba, UINT32 Blocks, EFI_STATUS Status,
                 const UINT8 *Buffer, UINT32 *Tag) {
  static const char kMagic[] = "USBSTICK";
  UINT32 Mismatches = 0;
  UINT32 FirstMismatch = 0xFFFFFFFF;
  *Tag = Get32(Buffer + 8);
  if (!EFI_ERROR(Status)) {
    for (UINT32 B = 0; B < Blocks; B++) {
      const UINT8 *Block = Buffer + B * kBlockSize;
      for (UINT32 I = 0; I < kBlockSize; I++) {
        UINT8 Want = I < 8    ? (UINT8)kMagic[I]
                     : I < 12 ? (UINT8)(*Tag >> (8 * (I - 8)))
                     : I < 16 ? (UINT8)((Lba + B) >> (8 * (I - 12)))
                              : Expected(Lba + B, *Tag, I);
        if (Block[I] != Want) {
          if (Mismatches++ == 0) {
            FirstMismatch = B * kBlockSize + I;
          }
        }
      }
    }
  }
  LogLine(kSource, "read")
      .Str("interface", Interface)
      .Dec("lba", Lba)
      .Dec("blocks", Blocks)
      .Hex("status", Status)
      .Hex("tag", *Tag)
      .Dec("mismatches", Mismatches)
      .Hex("first-mismatch", FirstMismatch);
}

VOID Fill(UINT8 *Buffer, UINTN Size) {
  for (UINTN I = 0; I < Size; I++) {
    Buffer[I] = 0xA5;
  }
}

// The three reads through one interface: LBA 0, a run in the middle, the last LBA.
template <typename Ppi>
VOID ReadThrough(const char *Interface, EFI_PEI_SERVICES **Services, Ppi *BlockIo, UINT32 LastBlock,
                 UINT8 *Buffer) {
  const UINT32 Middle = LastBlock / 2 - kRunBlocks / 2;
  const UINT32 Starts[] = {0, Middle, LastBlock};
  const UINT32 Counts[] = {1, kRunBlocks, 1};
  for (UINT32 K = 0; K < 3; K++) {
    Fill(Buffer, kRunBlocks * kBlockSize);
    EFI_STATUS Status =
        BlockIo->ReadBlocks(Services, BlockIo, 0, Starts[K], Counts[K] * kBlockSize, Buffer);
    UINT32 Tag;
    CheckBlocks(Interface, Starts[K], Counts[K], Status, Buffer, &Tag);
  }
}

// The root ports of the EHCI controller at Base that hold an enabled device
// (bit N for port N); *Ports gets the port count.
UINT32 EnabledPorts(UINTN Base, UINT32 *Ports) {
  UINT32 CapLength = MmioRead32(Base) & 0xFF;
  *Ports = MmioRead32(Base + kHcsParams) & 0xF;
  UINT32 Mask = 0;
  for (UINT32 Port = 0; Port < *Ports; Port++) {
    UINT32 PortSc = MmioRead32(Base + CapLength + kPortScBase + 4 * Port);
    if ((PortSc & (kPortConnected | kPortEnabled | kPortOwnedByCompanion)) ==
        (kPortConnected | kPortEnabled)) {
      Mask |= 1u << Port;
    }
  }
  return Mask;
}

VOID ReportControllers(const EFI_PEI_SERVICES **PeiServices) {
  PEI_USB_CONTROLLER_PPI *Ppi = nullptr;
  EFI_STATUS Status = (*PeiServices)->LocatePpi(PeiServices, &kUsbControllerPpiGuid, 0, nullptr,
                                                (VOID **)&Ppi);
  LogLine(kSource, "usb-controller-ppi").Hex("status", Status);
  if (EFI_ERROR(Status)) {
    return;
  }
  for (UINT32 Id = 0; Id < kIdLimit; Id++) {
    UINTN Type = 0xA5A5A5A5;
    UINTN Base = 0xA5A5A5A5;
    EFI_STATUS IdStatus =
        Ppi->GetUsbController((EFI_PEI_SERVICES **)PeiServices, Ppi, (UINT8)Id, &Type, &Base);
    LogLine Line(kSource, "controller");
    Line.Dec("id", Id).Hex("status", IdStatus).Hex("type", Type).Hex("base", Base);
    if (EFI_ERROR(IdStatus)) {
      break;
    }
    if (Type == PEI_EHCI_CONTROLLER) {
      UINT32 Ports;
      UINT32 Enabled = EnabledPorts(Base, &Ports);
      UINT32 CapLength = MmioRead32(Base) & 0xFF;
      Line.Hex("caplength", CapLength, 2)
          .Dec("ports", Ports)
          .Hex("enabled-ports", Enabled, 4)
          .Hex("usbcmd", MmioRead32(Base + CapLength + kUsbCmd))
          .Hex("usbsts", MmioRead32(Base + CapLength + kUsbSts));
    }
  }
}

VOID ReportFunctions() {
  for (const EhciFunction &F : kEhciFunctions) {
    UINT32 Bar0 = PciRead32(F.Device, F.Function, 0x10);
    LogLine(kSource, "pci")
        .Hex("device", F.Device, 2)
        .Dec("function", F.Function)
        .Hex("id", PciRead32(F.Device, F.Function, 0))
        .Hex("command", PciRead32(F.Device, F.Function, 0x04) & 0xFFFF, 4)
        .Hex("bar0", Bar0 & kBarMemoryMask);
  }
}

UINT32 CountUsb2HostControllers(const EFI_PEI_SERVICES **PeiServices) {
  UINT32 Count = 0;
  VOID *Ppi;
  while (Count < kIdLimit && !EFI_ERROR((*PeiServices)->LocatePpi(
                                 PeiServices, &kUsb2HostControllerPpiGuid, Count, nullptr, &Ppi))) {
    Count++;
  }
  return Count;
}

// The mass-storage PEIM installed both block I/O PPIs (one list, block I/O 2
// last, so this runs once both are there): read, report, end QEMU.
EFI_STATUS EFIAPI OnBlockIo2(EFI_PEI_SERVICES **Services, EFI_PEI_NOTIFY_DESCRIPTOR *Descriptor,
                             VOID *Ppi) {
  (VOID)Descriptor;
  (VOID)Ppi;
  const EFI_PEI_SERVICES **PeiServices = (const EFI_PEI_SERVICES **)Services;
  BlockIoPpi *BlockIo = nullptr;
  BlockIo2Ppi *BlockIo2 = nullptr;
  EFI_STATUS Status1 =
      (*PeiServices)->LocatePpi(PeiServices, &kBlockIoPpiGuid, 0, nullptr, (VOID **)&BlockIo);
  EFI_STATUS Status2 =
      (*PeiServices)->LocatePpi(PeiServices, &kBlockIo2PpiGuid, 0, nullptr, (VOID **)&BlockIo2);
  LogLine(kSource, "block-io")
      .Hex("block-io-status", Status1)
      .Hex("block-io2-status", Status2)
      .Dec("usb2-host-controllers", CountUsb2HostControllers(PeiServices));

  EFI_PHYSICAL_ADDRESS Address = 0;
  EFI_STATUS AllocStatus =
      (*PeiServices)->AllocatePages(PeiServices, EfiBootServicesData, kBufferPages, &Address);
  UINT8 *Buffer = (UINT8 *)(UINTN)Address;
  if (EFI_ERROR(AllocStatus)) {
    LogLine(kSource, "no-buffer").Hex("status", AllocStatus);
    Buffer = nullptr;
  }

  if (!EFI_ERROR(Status1)) {
    UINTN Devices = 0;
    BlockIoMedia Media = {0xA5A5A5A5, 0xA5, 0xA5A5A5A5, 0xA5A5A5A5};
    EFI_STATUS CountStatus = BlockIo->GetNumberOfBlockDevices(Services, BlockIo, &Devices);
    EFI_STATUS MediaStatus = BlockIo->GetBlockDeviceMediaInfo(Services, BlockIo, 0, &Media);
    LogLine(kSource, "media")
        .Str("interface", "block-io")
        .Hex("count-status", CountStatus)
        .Dec("devices", Devices)
        .Hex("media-status", MediaStatus)
        .Dec("device-type", Media.DeviceType)
        .Dec("present", Media.MediaPresent)
        .Dec("block-size", Media.BlockSize)
        .Dec("last-block", Media.LastBlock);
    if (Buffer != nullptr && !EFI_ERROR(MediaStatus) && Media.BlockSize == kBlockSize &&
        Media.LastBlock >= kRunBlocks) {
      ReadThrough("block-io", Services, BlockIo, Media.LastBlock, Buffer);
    }
  }
  if (!EFI_ERROR(Status2)) {
    UINTN Devices = 0;
    BlockIo2Media Media = {0xA5, 0xA5, 0xA5, 0xA5, 0xA5A5A5A5, 0xA5A5A5A5A5A5A5A5ull};
    EFI_STATUS CountStatus = BlockIo2->GetNumberOfBlockDevices(Services, BlockIo2, &Devices);
    EFI_STATUS MediaStatus = BlockIo2->GetBlockDeviceMediaInfo(Services, BlockIo2, 0, &Media);
    LogLine(kSource, "media")
        .Str("interface", "block-io2")
        .Hex("count-status", CountStatus)
        .Dec("devices", Devices)
        .Hex("media-status", MediaStatus)
        .Dec("interface-type", Media.InterfaceType)
        .Dec("removable", Media.RemovableMedia)
        .Dec("present", Media.MediaPresent)
        .Dec("read-only", Media.ReadOnly)
        .Dec("block-size", Media.BlockSize)
        .Dec("last-block", (UINT32)Media.LastBlock)
        .Dec("last-block-high", (UINT32)(Media.LastBlock >> 32));
    if (Buffer != nullptr && !EFI_ERROR(MediaStatus) && Media.BlockSize == kBlockSize &&
        (Media.LastBlock >> 32) == 0 && Media.LastBlock >= kRunBlocks) {
      ReadThrough("block-io2", Services, BlockIo2, (UINT32)Media.LastBlock, Buffer);
    }
  }

  ReportControllers(PeiServices);
  ReportFunctions();
  LogLine(kSource, "done").Str("result", "read");
  ExitQemu(kExitUsbReadDone);
}

// PEI ended and no block device came: what the controllers look like.
EFI_STATUS EFIAPI OnEndOfPei(EFI_PEI_SERVICES **Services, EFI_PEI_NOTIFY_DESCRIPTOR *Descriptor,
                             VOID *Ppi) {
  (VOID)Descriptor;
  (VOID)Ppi;
  const EFI_PEI_SERVICES **PeiServices = (const EFI_PEI_SERVICES **)Services;
  LogLine(kSource, "end-of-pei")
      .Dec("usb2-host-controllers", CountUsb2HostControllers(PeiServices));
  ReportControllers(PeiServices);
  ReportFunctions();
  LogLine(kSource, "done").Str("result", "no-block-device");
  ExitQemu(kExitNoBlockDevice);
}

const EFI_PEI_NOTIFY_DESCRIPTOR mNotifyList[] = {
    {EFI_PEI_PPI_DESCRIPTOR_NOTIFY_CALLBACK, &kBlockIo2PpiGuid, OnBlockIo2},
    {EFI_PEI_PPI_DESCRIPTOR_NOTIFY_CALLBACK | EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST,
     &kEndOfPeiPpiGuid, OnEndOfPei},
};

}  // namespace

extern "C" EFI_STATUS EFIAPI UsbReaderEntry(EFI_PEI_FILE_HANDLE FileHandle,
                                            const EFI_PEI_SERVICES **PeiServices) {
  (VOID)FileHandle;
  EFI_STATUS Status = NotifyPpiService(PeiServices)(PeiServices, mNotifyList);
  LogLine(kSource, "entry")
      .Hex("code", (UINT32)(UINTN)&UsbReaderEntry)
      .Dec("memory", MemoryDiscovered(PeiServices))
      .Hex("notify-status", Status);
  return Status;
}
