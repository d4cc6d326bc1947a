// Runs a backup or a restore over an in-memory disk laid out by the fuzzer,
// with at most one platform call failed or cut short by a byte, through the
// checks of fake/checked_run.h.
//
// Input: a flags byte, a fault byte, the image length and the KEMBU.BIN
// length (16 bits each, little-endian, masked), then the image's bytes and
// KEMBU.BIN's bytes. Bytes the input lacks are filled with a pattern, so a
// short input still describes a whole disk.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include "fake/checked_run.h"

namespace {

void Check(const char* fault) {
  if (!fault) return;
  fprintf(stderr, "procedures_fuzzer: %s\n", fault);
  abort();
}

Layout Parse(const uint8_t* data, size_t size) {
  size_t position = 0;
  const auto next = [&]() -> unsigned { return position < size ? data[position++] : 0; };
  const unsigned flags = next();
  const unsigned fault = next();
  const auto next16 = [&next] { const unsigned low = next(); return low | next() << 8; };
  const size_t imageLength = next16() & 0x7FF, backupLength = next16() & 0x3FF;

  Layout layout;
  layout.restore = flags & 0x01;
  layout.imageReadOnly = flags & 0x02;
  const bool seal = flags & 0x04;  // random bytes almost never pass the checksum
  layout.haveBackup = flags & 0x08;
  layout.haveImage = !(flags & 0x10);
  const unsigned alias = (flags >> 5) & 3;
  layout.alias = alias == 1 ? kNamedBackup : alias == 2 ? kLinkedToBackup : kSeparate;
  layout.nameAsTyped = !(flags & 0x80);
  layout.faultCall = fault & 0x0F;
  layout.cutShort = fault & 0x10;

  const auto fill = [&](Bytes& bytes, size_t length, unsigned step) {
    bytes.resize(length);
    for (size_t i = 0; i < length; ++i) {
      bytes[i] = position < size ? data[position++] : static_cast<unsigned char>(i * step + 1);
    }
  };
  fill(layout.image, imageLength, 7);
  fill(layout.backup, backupLength, 13);
  if (seal && layout.image.size() >= kHeaderSize) Seal(layout.image);

  if (layout.alias != kSeparate) {
    // One file under both names. It stays writable: a read-only KEMBU.BIN can
    // be neither deleted nor emptied, so a failed backup would keep the old
    // body, which is a known and accepted limit.
    layout.haveImage = layout.haveBackup = true;
    layout.imageReadOnly = false;
    layout.backup = layout.image;
    // A failed identity check would let the backup delete the image through
    // KEMBU.BIN. On the real platforms that check fails only where the delete
    // fails as well, which the fake cannot model, so it is not chosen here.
    if (layout.faultCall == 2 && !layout.cutShort) layout.faultCall = 0;
  }
  return layout;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Layout layout = Parse(data, size);
  // RunChecked holds each message to the one the layout and the fault call for.
  Check(RunChecked(layout, 0).fault);
  if (layout.faultCall != 0) Check(RunChecked(layout, layout.faultCall).fault);
  Check(CheckRoundTrip(layout));
  return 0;
}
