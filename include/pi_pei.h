// Published PI types used by the module (IA-32 PEI), written from the PI
// layouts: base types, status codes, GUIDs, boot modes, the PEI services
// table, PPI descriptors and the Stall PPI.
#ifndef USB_PEIM_PI_PEI_H_
#define USB_PEIM_PI_PEI_H_

typedef unsigned char UINT8;
typedef unsigned short UINT16;
typedef unsigned int UINT32;
typedef unsigned long long UINT64;
typedef unsigned short CHAR16;
typedef void VOID;
typedef UINT8 BOOLEAN;
// Natural width: 32 bits in the IA-32 image, the host's pointer width in
// host builds of the same sources.
typedef __UINTPTR_TYPE__ UINTN;

#if defined(__i386__)
#define EFIAPI __attribute__((cdecl))
#else
#define EFIAPI
#endif

typedef UINTN EFI_STATUS;
typedef UINT32 EFI_BOOT_MODE;
typedef UINT64 EFI_PHYSICAL_ADDRESS;
// The same, for a local variable: IA-32 needs no 8-byte alignment for it, and
// asking for it costs a frame realignment.
typedef UINT64 EFI_PHYSICAL_ADDRESS_ALIGN4 __attribute__((aligned(4)));
typedef VOID *EFI_PEI_FILE_HANDLE;

#define EFI_ERROR_BIT ((UINTN)1 << (sizeof(UINTN) * 8 - 1))
#define EFI_SUCCESS ((EFI_STATUS)0)
#define EFI_INVALID_PARAMETER ((EFI_STATUS)(EFI_ERROR_BIT | 2))
#define EFI_UNSUPPORTED ((EFI_STATUS)(EFI_ERROR_BIT | 3))
#define EFI_OUT_OF_RESOURCES ((EFI_STATUS)(EFI_ERROR_BIT | 9))
#define EFI_NOT_FOUND ((EFI_STATUS)(EFI_ERROR_BIT | 14))
#define EFI_ERROR(Status) (((EFI_STATUS)(Status) & EFI_ERROR_BIT) != 0)

struct EFI_GUID {
  UINT32 Data1;
  UINT16 Data2;
  UINT16 Data3;
  UINT8 Data4[8];
};

// Boot modes the module distinguishes.
#define BOOT_WITH_FULL_CONFIGURATION ((EFI_BOOT_MODE)0x00)
#define BOOT_ON_S3_RESUME ((EFI_BOOT_MODE)0x11)

enum EFI_MEMORY_TYPE : UINT32 {
  EfiReservedMemoryType = 0,
  EfiLoaderCode = 1,
  EfiLoaderData = 2,
  EfiBootServicesCode = 3,
  EfiBootServicesData = 4,
};

struct EFI_TABLE_HEADER {
  UINT64 Signature;
  UINT32 Revision;
  UINT32 HeaderSize;
  UINT32 CRC32;
  UINT32 Reserved;
};

#define EFI_PEI_PPI_DESCRIPTOR_PIC 0x00000001u
#define EFI_PEI_PPI_DESCRIPTOR_PPI 0x00000010u
#define EFI_PEI_PPI_DESCRIPTOR_NOTIFY_CALLBACK 0x00000020u
#define EFI_PEI_PPI_DESCRIPTOR_NOTIFY_DISPATCH 0x00000040u
#define EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST 0x80000000u

struct EFI_PEI_PPI_DESCRIPTOR {
  UINTN Flags;
  const EFI_GUID *Guid;
  VOID *Ppi;
};

struct EFI_PEI_SERVICES;

typedef EFI_STATUS(EFIAPI *EFI_PEI_INSTALL_PPI)(const EFI_PEI_SERVICES **PeiServices,
                                                const EFI_PEI_PPI_DESCRIPTOR *PpiList);
typedef EFI_STATUS(EFIAPI *EFI_PEI_LOCATE_PPI)(const EFI_PEI_SERVICES **PeiServices,
                                               const EFI_GUID *Guid, UINTN Instance,
                                               EFI_PEI_PPI_DESCRIPTOR **PpiDescriptor,
                                               VOID **Ppi);
typedef EFI_STATUS(EFIAPI *EFI_PEI_GET_BOOT_MODE)(const EFI_PEI_SERVICES **PeiServices,
                                                  EFI_BOOT_MODE *BootMode);
typedef EFI_STATUS(EFIAPI *EFI_PEI_ALLOCATE_PAGES)(const EFI_PEI_SERVICES **PeiServices,
                                                   EFI_MEMORY_TYPE MemoryType, UINTN Pages,
                                                   EFI_PHYSICAL_ADDRESS *Memory);
// Services the module never calls keep their slot but no prototype.
typedef VOID *EFI_PEI_UNUSED_SERVICE;

struct EFI_PEI_SERVICES {
  EFI_TABLE_HEADER Hdr;
  EFI_PEI_INSTALL_PPI InstallPpi;
  EFI_PEI_UNUSED_SERVICE ReInstallPpi;
  EFI_PEI_LOCATE_PPI LocatePpi;
  EFI_PEI_UNUSED_SERVICE NotifyPpi;
  EFI_PEI_GET_BOOT_MODE GetBootMode;
  EFI_PEI_UNUSED_SERVICE SetBootMode;
  EFI_PEI_UNUSED_SERVICE GetHobList;
  EFI_PEI_UNUSED_SERVICE CreateHob;
  EFI_PEI_UNUSED_SERVICE FfsFindNextVolume;
  EFI_PEI_UNUSED_SERVICE FfsFindNextFile;
  EFI_PEI_UNUSED_SERVICE FfsFindSectionData;
  EFI_PEI_UNUSED_SERVICE InstallPeiMemory;
  EFI_PEI_ALLOCATE_PAGES AllocatePages;
  EFI_PEI_UNUSED_SERVICE AllocatePool;
  EFI_PEI_UNUSED_SERVICE CopyMem;
  EFI_PEI_UNUSED_SERVICE SetMem;
  EFI_PEI_UNUSED_SERVICE ReportStatusCode;
  EFI_PEI_UNUSED_SERVICE ResetSystem;
  EFI_PEI_UNUSED_SERVICE CpuIo;
  EFI_PEI_UNUSED_SERVICE PciCfg;
  EFI_PEI_UNUSED_SERVICE FfsFindFileByName;
  EFI_PEI_UNUSED_SERVICE FfsGetFileInfo;
  EFI_PEI_UNUSED_SERVICE FfsGetVolumeInfo;
  EFI_PEI_UNUSED_SERVICE RegisterForShadow;
  EFI_PEI_UNUSED_SERVICE FindSectionData3;
  EFI_PEI_UNUSED_SERVICE FfsGetFileInfo2;
  EFI_PEI_UNUSED_SERVICE ResetSystem2;
  EFI_PEI_UNUSED_SERVICE FreePages;
};

struct EFI_PEI_STALL_PPI;
typedef EFI_STATUS(EFIAPI *EFI_PEI_STALL)(const EFI_PEI_SERVICES **PeiServices,
                                          const EFI_PEI_STALL_PPI *This, UINTN Microseconds);
struct EFI_PEI_STALL_PPI {
  UINTN Resolution;
  EFI_PEI_STALL Stall;
};

typedef EFI_STATUS(EFIAPI *EFI_PEIM_ENTRY_POINT2)(EFI_PEI_FILE_HANDLE FileHandle,
                                                  const EFI_PEI_SERVICES **PeiServices);

#if defined(__i386__)
static_assert(sizeof(EFI_GUID) == 16, "EFI_GUID layout");
static_assert(sizeof(EFI_PEI_PPI_DESCRIPTOR) == 12, "descriptor layout");
static_assert(__builtin_offsetof(EFI_PEI_SERVICES, InstallPpi) == 0x18, "PEI services layout");
static_assert(__builtin_offsetof(EFI_PEI_SERVICES, LocatePpi) == 0x20, "PEI services layout");
static_assert(__builtin_offsetof(EFI_PEI_SERVICES, GetBootMode) == 0x28, "PEI services layout");
static_assert(__builtin_offsetof(EFI_PEI_SERVICES, AllocatePages) == 0x48, "PEI services layout");
static_assert(__builtin_offsetof(EFI_PEI_SERVICES, FreePages) == 0x84, "PEI services layout");
#endif

#endif  // USB_PEIM_PI_PEI_H_
