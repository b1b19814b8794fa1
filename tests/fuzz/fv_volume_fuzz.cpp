// fvtool's reader on arbitrary bytes: the image read strictly (as before any
// edit) and leniently (as `list` reads it), each listed in full, and the
// bytes read as a lone firmware file. Small read limits keep each input
// cheap; they are the same limits the tool applies, only lower.
//
// Beyond "no crash, no leak": a strict read that succeeds finds nothing a
// lenient read of the same bytes would call damage, and both see the same
// volumes.
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <streambuf>

#include "fv_list.h"
#include "fv_tree.h"
#include "fuzz_check.h"

namespace {

// Takes every character and keeps none, so that the listing is formatted in
// full (a stream without a buffer would skip the formatting).
class NullBuffer : public std::streambuf {
 protected:
  int_type overflow(int_type c) override { return traits_type::not_eof(c); }
  std::streamsize xsputn(const char *, std::streamsize n) override { return n; }
};

using fuzzcheck::Check;

fv::ReadLimits SmallLimits() {
  fv::ReadLimits limits;
  limits.maxUnpackedBytes = 8u << 20;
  limits.maxRecords = 4096;
  return limits;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const fv::Bytes bytes(data, data + size);
  const fv::ReadLimits limits = SmallLimits();
  NullBuffer buffer;
  std::ostream out(&buffer);

  bool strictRead = false;
  size_t strictVolumes = 0, strictAll = 0;
  try {
    fv::Image strict(bytes, false, limits);
    strictRead = true;
    strictVolumes = strict.volumes().size();
    strictAll = strict.AllVolumes().size();
    Check(!strict.Damaged());
    fv::PrintImage(strict, out);
  } catch (const fv::Error &) {
  }

  try {
    fv::Image lenient(bytes, true, limits);
    if (strictRead) {
      Check(!lenient.Damaged());
      Check(lenient.volumes().size() == strictVolumes);
      Check(lenient.AllVolumes().size() == strictAll);
    }
    fv::PrintImage(lenient, out);
  } catch (const fv::Error &) {
    // A lenient read fails only where no volume at all can be read.
    Check(!strictRead);
  }

  for (bool lenient : {false, true}) {
    try {
      fv::File file = fv::ParseLoneFile(bytes, lenient);
      fv::PrintLoneFile(file, out);
    } catch (const fv::Error &) {
    }
  }
  Check(out.good());
  return 0;
}
