// QEMU's firmware configuration device on the PC: the selector at 0x510
// (16-bit), the data port at 0x511 (bytes of the selected item, 0 past its
// end) and the DMA interface at 0x514 (its address, big-endian, high half
// at 0x514, low half at 0x518; writing the low half starts the transfer).
// A DMA access is a structure in guest memory, big-endian: control (error
// 0x01, read 0x02, skip 0x04, select 0x08 with the item in the upper 16
// bits, write 0x10), length and a 64-bit address; the device clears control
// when done, or leaves the error bit.
//
// The items are data (FwCfgData): numbered items and named files, the file
// directory (item 0x19) made from them in name order, files numbered from
// 0x20 as QEMU does. QEMU's SMI feature negotiation is modelled:
// etc/smi/requested-features is writable, and selecting etc/smi/features-ok
// checks the request against etc/smi/supported-features and locks it.
#ifndef TOOLS_SIM_DEVICES_FW_CFG_H_
#define TOOLS_SIM_DEVICES_FW_CFG_H_

#include <map>

#include "device.h"

namespace peimsim {

struct FwCfgItem {
  uint16_t key = 0;
  std::string file;            // a file's name; empty for a numbered item
  std::vector<uint8_t> bytes;  // its contents
  uint32_t size = 0;           // its size (bytes.size(), or more when not served)
  bool served = true;          // false: only its size is known; reading it is named
  bool writable = false;       // the guest may write it by DMA
};

struct FwCfgData {
  std::vector<FwCfgItem> items;  // numbered items, then files, in name order
  // Numbers the files from 0x20 in name order and builds the directory
  // (item 0x19). False with a reason for a duplicate or an overflow.
  bool Finish(std::string &why);
  const FwCfgItem *Find(uint16_t key) const;
  const FwCfgItem *FindFile(const std::string &name) const;
};

constexpr uint16_t kFwCfgSignature = 0x0000, kFwCfgId = 0x0001, kFwCfgFileDir = 0x0019,
                   kFwCfgFileFirst = 0x0020;
constexpr size_t kFwCfgMaxFiles = 256, kFwCfgNameBytes = 56;

class FwCfg : public Device {
 public:
  static constexpr uint16_t kSelector = 0x510, kData = 0x511, kDma = 0x514;
  static constexpr uint32_t kCtlError = 0x01, kCtlRead = 0x02, kCtlSkip = 0x04,
                            kCtlSelect = 0x08, kCtlWrite = 0x10;

  FwCfg(std::string name, std::shared_ptr<const FwCfgData> data);
  std::unique_ptr<Device> Clone() const override { return std::make_unique<FwCfg>(*this); }
  bool ClaimsPort(uint16_t port, int size) const override;
  uint32_t ReadPort(uint16_t port, int size, DeviceHost &host) override;
  void WritePort(uint16_t port, int size, uint32_t value, DeviceHost &host) override;
  std::string PortName(uint16_t port) const override;
  uint16_t Selected() const { return selector_; }

 private:
  // The selected item's bytes as the guest sees them now (written ones
  // included); null for none.
  const std::vector<uint8_t> *Contents(uint16_t key) const;
  const FwCfgItem *Item(uint16_t key) const;
  void Select(uint16_t key, DeviceHost &host);
  bool ReadByte(DeviceHost &host, uint8_t &out);
  void Dma(uint32_t address, DeviceHost &host);

  std::shared_ptr<const FwCfgData> data_;
  std::map<uint16_t, std::vector<uint8_t>> written_;  // writable items the guest changed
  uint16_t selector_ = 0;
  uint32_t offset_ = 0;
  uint32_t dmaHigh_ = 0;
  bool smiLocked_ = false;
};

}  // namespace peimsim

#endif  // TOOLS_SIM_DEVICES_FW_CFG_H_
