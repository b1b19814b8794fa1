#include "fw_cfg.h"

#include <algorithm>
#include <cstdio>

namespace peimsim {
namespace {

uint32_t Be32(const uint8_t *p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
void PutBe32(uint8_t *p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = uint8_t(v >> (24 - 8 * i));
}
uint32_t Swap32(uint32_t v) {
  return v >> 24 | (v >> 8 & 0xFF00) | (v << 8 & 0xFF0000) | v << 24;
}
std::string Hex(uint64_t v) {
  char b[24];
  snprintf(b, sizeof b, "0x%llX", (unsigned long long)v);
  return b;
}

const char kSmiRequested[] = "etc/smi/requested-features";
const char kSmiSupported[] = "etc/smi/supported-features";
const char kSmiOk[] = "etc/smi/features-ok";

}  // namespace

bool FwCfgData::Finish(std::string &why) {
  std::vector<FwCfgItem> files, numbered;
  for (FwCfgItem &i : items) (i.file.empty() ? numbered : files).push_back(std::move(i));
  std::sort(files.begin(), files.end(),
            [](const FwCfgItem &a, const FwCfgItem &b) { return a.file < b.file; });
  if (files.size() > kFwCfgMaxFiles) {
    why = "more than " + std::to_string(kFwCfgMaxFiles) + " fw_cfg files";
    return false;
  }
  FwCfgItem dir;
  dir.key = kFwCfgFileDir;
  dir.bytes.assign(4 + 64 * files.size(), 0);
  PutBe32(dir.bytes.data(), uint32_t(files.size()));
  for (size_t n = 0; n < files.size(); n++) {
    if (n > 0 && files[n].file == files[n - 1].file) {
      why = "fw_cfg file \"" + files[n].file + "\" is given twice";
      return false;
    }
    files[n].key = uint16_t(kFwCfgFileFirst + n);
    uint8_t *e = &dir.bytes[4 + 64 * n];
    PutBe32(e, files[n].size);
    e[4] = uint8_t(files[n].key >> 8);
    e[5] = uint8_t(files[n].key);
    std::copy(files[n].file.begin(), files[n].file.end(), e + 8);
  }
  dir.size = uint32_t(dir.bytes.size());
  for (const FwCfgItem &i : numbered) {
    if (i.key == kFwCfgFileDir || (i.key & 0x3FFF) >= kFwCfgFileFirst) {
      why = "fw_cfg item " + Hex(i.key) + " is the file directory's or a file's number";
      return false;
    }
    for (const FwCfgItem &j : numbered)
      if (&i != &j && i.key == j.key) {
        why = "fw_cfg item " + Hex(i.key) + " is given twice";
        return false;
      }
  }
  items = std::move(numbered);
  items.push_back(std::move(dir));
  for (FwCfgItem &f : files) items.push_back(std::move(f));
  return true;
}

const FwCfgItem *FwCfgData::Find(uint16_t key) const {
  for (const FwCfgItem &i : items)
    if (i.key == key) return &i;
  return nullptr;
}

const FwCfgItem *FwCfgData::FindFile(const std::string &name) const {
  for (const FwCfgItem &i : items)
    if (!i.file.empty() && i.file == name) return &i;
  return nullptr;
}

FwCfg::FwCfg(std::string name, std::shared_ptr<const FwCfgData> data)
    : Device(std::move(name)), data_(std::move(data)) {}

bool FwCfg::ClaimsPort(uint16_t port, int size) const {
  if (port == kSelector) return size <= 2;
  if (port == kData) return size == 1;
  return port >= kDma && port + size <= kDma + 8;
}

const FwCfgItem *FwCfg::Item(uint16_t key) const { return data_ ? data_->Find(key) : nullptr; }

const std::vector<uint8_t> *FwCfg::Contents(uint16_t key) const {
  auto w = written_.find(key);
  if (w != written_.end()) return &w->second;
  const FwCfgItem *i = Item(key);
  return i ? &i->bytes : nullptr;
}

void FwCfg::Select(uint16_t key, DeviceHost &host) {
  selector_ = key;
  offset_ = 0;
  const FwCfgItem *i = Item(key);
  if (i && i->file == kSmiOk) {
    // QEMU checks the request when the guest selects features-ok.
    const FwCfgItem *req = data_->FindFile(kSmiRequested), *sup = data_->FindFile(kSmiSupported);
    const std::vector<uint8_t> *r = req ? Contents(req->key) : nullptr;
    bool ok = r && sup && r->size() == sup->bytes.size();
    for (size_t b = 0; ok && b < r->size(); b++) ok = ((*r)[b] & ~sup->bytes[b]) == 0;
    written_[key] = std::vector<uint8_t>(1, ok ? 1 : 0);
    smiLocked_ = true;
  }
  if (i && !i->served)
    host.Misuse("fw-cfg-item", "fw_cfg item " + Hex(key) + " (" + i->file +
                                   ") selected, whose contents this platform does not serve");
}

bool FwCfg::ReadByte(DeviceHost &, uint8_t &out) {
  const std::vector<uint8_t> *c = Contents(selector_);
  out = c && offset_ < c->size() ? (*c)[offset_] : 0;
  if (c && offset_ < c->size()) offset_++;
  return true;
}

uint32_t FwCfg::ReadPort(uint16_t port, int size, DeviceHost &host) {
  if (port == kSelector) return selector_ & AllOnes32(size);
  if (port == kData) {
    uint8_t b = 0;
    ReadByte(host, b);
    return b;
  }
  // The DMA register reads "QEMU CFG", big-endian.
  static const uint8_t kSignature[8] = {'Q', 'E', 'M', 'U', ' ', 'C', 'F', 'G'};
  uint32_t v = 0;
  for (int i = 0; i < size; i++) v |= uint32_t(kSignature[port - kDma + i]) << (8 * i);
  return v;
}

void FwCfg::WritePort(uint16_t port, int size, uint32_t value, DeviceHost &host) {
  if (port == kSelector) {
    Select(uint16_t(value & AllOnes32(size)), host);
    return;
  }
  if (port == kData) return;  // writes through the data port are ignored, as in QEMU
  if (port == kDma && size == 4) {
    dmaHigh_ = Swap32(value);
  } else if (port == kDma + 4 && size == 4) {
    uint32_t low = Swap32(value);
    if (dmaHigh_ != 0) {
      host.Misuse("fw-cfg-dma", "DMA access structure at " +
                                    Hex(uint64_t(dmaHigh_) << 32 | low) + ", beyond 4 GiB");
      dmaHigh_ = 0;
      return;
    }
    Dma(low, host);
  } else {
    host.Misuse("fw-cfg-dma", std::to_string(size * 8) + "-bit write to DMA port " +
                                  Hex(port) + ": the address goes as two 32-bit halves");
  }
}

void FwCfg::Dma(uint32_t address, DeviceHost &host) {
  uint8_t access[16];
  if (!host.ReadGuest(address, access, sizeof access)) {
    host.Misuse("fw-cfg-dma", "DMA access structure at " + Hex(address) + ", which is not RAM");
    return;
  }
  uint32_t control = Be32(access), length = Be32(access + 4);
  uint64_t target = uint64_t(Be32(access + 8)) << 32 | Be32(access + 12);
  auto finish = [&](bool error) {
    uint8_t c[4];
    PutBe32(c, error ? kCtlError : 0);
    host.WriteGuest(address, c, 4);
  };
  if (control & kCtlSelect) Select(uint16_t(control >> 16), host);
  bool read = control & kCtlRead, write = control & kCtlWrite, skip = control & kCtlSkip;
  if (!(read || write || skip) || length == 0) return finish(false);
  if (target + length > 0x100000000ull) {
    host.Misuse("fw-cfg-dma", "DMA transfer of " + std::to_string(length) + " bytes at " +
                                  Hex(target) + ", beyond 4 GiB");
    return finish(true);
  }
  const FwCfgItem *item = Item(selector_);
  const std::vector<uint8_t> *c = Contents(selector_);
  uint32_t have = c ? uint32_t(c->size()) : 0;
  uint32_t n = offset_ < have ? std::min(length, have - offset_) : 0;
  if (read) {
    // Bytes past the item's end read as 0. Copied a page at a time, so that
    // a length the guest made up costs no more than the RAM it reaches.
    uint8_t page[4096];
    for (uint32_t done = 0; done < length;) {
      uint32_t chunk = std::min<uint32_t>(sizeof page, length - done);
      for (uint32_t b = 0; b < chunk; b++)
        page[b] = done + b < n ? (*c)[offset_ + done + b] : 0;
      if (!host.WriteGuest(uint32_t(target + done), page, chunk)) {
        host.Misuse("fw-cfg-dma", "DMA read of " + std::to_string(length) + " bytes into " +
                                      Hex(target) + ", which runs beyond RAM at " +
                                      Hex(target + done));
        return finish(true);
      }
      done += chunk;
    }
  } else if (write) {
    if (!item || !item->writable || (smiLocked_ && item->file == kSmiRequested)) {
      return finish(true);  // QEMU refuses the write with the error bit
    }
    std::vector<uint8_t> buffer(n);
    if (n && !host.ReadGuest(uint32_t(target), buffer.data(), n)) {
      host.Misuse("fw-cfg-dma", "DMA write of " + std::to_string(n) + " bytes from " +
                                    Hex(target) + ", which is not RAM");
      return finish(true);
    }
    std::vector<uint8_t> &w = written_.emplace(selector_, *c).first->second;
    std::copy(buffer.begin(), buffer.end(), w.begin() + offset_);
  }
  offset_ += n;
  finish(false);
}

std::string FwCfg::PortName(uint16_t port) const {
  if (port == kSelector) return "fw_cfg selector";
  if (port == kData) {
    const FwCfgItem *i = Item(selector_);
    char s[96];
    snprintf(s, sizeof s, "fw_cfg data (0x%04X%s%s)", selector_, i && !i->file.empty() ? " " : "",
             i ? i->file.c_str() : "");
    return s;
  }
  return "fw_cfg DMA";
}

}  // namespace peimsim
