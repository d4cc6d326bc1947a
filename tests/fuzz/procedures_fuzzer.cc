// Runs a backup or a restore over an in-memory disk laid out by the fuzzer,
// with at most one platform call failed or cut short by a byte, and checks
// what the run must say and leave behind: the message of the step that
// failed, an image that is only ever changed by a restore's final write, a
// KEMBU.BIN that never holds 490 bytes other than the image's body, and both
// slots empty.
//
// Input: a flags byte, a fault byte, the image length and the KEMBU.BIN
// length (16 bits each, little-endian, masked), then the image's bytes and
// KEMBU.BIN's bytes. Bytes the input lacks are filled with a pattern, so a
// short input still describes a whole disk.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "common/tool_state.h"
#include "fake/fake_io.h"
#include "fake/outcomes.h"
#include "header/header_block.h"
#include "header/procedures.h"
#include "io/io.h"

namespace {

const char kImage[] = "fw.img";
const char kLink[] = "link.img";
const char kBackup[] = "KEMBU.BIN";

const std::string* const kToolMessages[] = {
    &kBackupOk,    &kRestoreOk,    &kNameNotAsTyped, &kInputIsBackup, &kOpenInput,
    &kReadInput,   &kBadChecksum,  &kCreateBackup,   &kWriteBackup,   &kOpenBackup,
    &kReadBackup,  &kOpenOutput,   &kWriteOutput};

void Check(bool holds, const std::string& what) {
  if (holds) return;
  fprintf(stderr, "procedures_fuzzer: %s\n", what.c_str());
  abort();
}

// The checksum rule written out again here, so a fault in the tool's own
// checksum shows up as a wrong restored image instead of agreeing with itself.
uint16_t Checksum(const Bytes& block) {
  uint32_t sum = 0;
  for (size_t i = 0; i < CHECKSUM_OFFSET; i += 2) sum += block[i] | (block[i + 1] << 8);
  return static_cast<uint16_t>(sum);
}

bool Sealed(const Bytes& block) {
  return (block[CHECKSUM_OFFSET] | (block[CHECKSUM_OFFSET + 1] << 8)) == Checksum(block);
}

void Seal(Bytes& block) {
  const uint16_t sum = Checksum(block);
  block[CHECKSUM_OFFSET] = static_cast<unsigned char>(sum);
  block[CHECKSUM_OFFSET + 1] = static_cast<unsigned char>(sum >> 8);
}

Bytes BodyOf(const Bytes& image) {
  return Bytes(image.begin() + BODY_OFFSET, image.begin() + BODY_OFFSET + BODY_SIZE);
}

// The image after a restore that put the first 490 bytes of `backup` in.
Bytes Restored(Bytes image, const Bytes& backup) {
  std::copy(backup.begin(), backup.begin() + BODY_SIZE, image.begin() + BODY_OFFSET);
  Seal(image);
  return image;
}

// How the image relates to KEMBU.BIN.
enum Alias { kSeparate, kNamedBackup, kLinkedToBackup };

struct Layout {
  bool restore;
  bool haveImage;
  bool imageReadOnly;
  bool haveBackup;
  Alias alias;
  bool nameAsTyped;  // false: the name reached the tool changed on the way
  int faultCall;  // 1-based platform call to fail or cut short; 0: none
  bool cutShort;
  Bytes image;
  Bytes backup;
};

Layout Parse(const uint8_t* data, size_t size) {
  size_t position = 0;
  const auto next = [&]() -> unsigned { return position < size ? data[position++] : 0; };
  const unsigned flags = next();
  const unsigned fault = next();
  size_t imageLength = next();
  imageLength = (imageLength | next() << 8) & 0x7FF;
  size_t backupLength = next();
  backupLength = (backupLength | next() << 8) & 0x3FF;

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
  if (seal && layout.image.size() >= HEADER_SIZE) Seal(layout.image);

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

const char* ImageName(const Layout& layout) {
  switch (layout.alias) {
    case kNamedBackup: return kBackup;
    case kLinkedToBackup: return kLink;
    case kSeparate: break;
  }
  return kImage;
}

FakeDisk& Prepare(const Layout& layout, int failCall, int shortCall) {
  FakeDisk& disk = ResetFakeDisk();
  if (layout.haveBackup) disk.Put(kBackup, layout.backup);
  if (layout.alias == kLinkedToBackup) disk.files[kLink] = disk.files[kBackup];
  if (layout.alias == kSeparate && layout.haveImage) {
    disk.Put(kImage, layout.image);
    disk.files[kImage]->readOnly = layout.imageReadOnly;
  }
  disk.nameAsTyped = layout.nameAsTyped;
  disk.failCall = failCall;
  disk.shortCall = shortCall;
  return disk;
}

// One procedure the way the run sequence calls it, slots emptied after.
std::string Run(FakeDisk& disk, bool restore, const char* imageName) {
  strcpy(toolState.imageName, imageName);
  const std::string message = restore ? RunRestore() : RunBackup();
  CloseInput();
  CloseOutput();
  Check(!disk.AnySlotOpen(), "a slot still holds a file after closing both");
  Check(!disk.slotMisuse, "a slot was opened twice or used while empty");
  for (const std::string* known : kToolMessages) {
    if (message == *known) return message;
  }
  Check(false, "not one of the tool's messages");
  return message;
}

// What a run gives without faults, from the layout alone.
std::string UnfaultedMessage(const Layout& layout) {
  if (!layout.nameAsTyped) return kNameNotAsTyped;
  if (layout.alias != kSeparate) return kInputIsBackup;
  if (!layout.haveImage) return kOpenInput;
  if (layout.image.size() < HEADER_SIZE) return kReadInput;
  if (!Sealed(layout.image)) return kBadChecksum;
  if (!layout.restore) return kBackupOk;
  if (!layout.haveBackup) return kOpenBackup;
  if (layout.backup.size() < BODY_SIZE) return kReadBackup;
  if (layout.imageReadOnly) return kOpenOutput;
  return kRestoreOk;
}

// Runs the layout's procedure with the given fault and checks the outcome;
// `unfaulted` is what the same run gives without a fault.
std::string RunAndCheck(const Layout& layout, int faultCall, const std::string& unfaulted) {
  FakeDisk& disk =
      Prepare(layout, layout.cutShort ? 0 : faultCall, layout.cutShort ? faultCall : 0);
  const std::string message = Run(disk, layout.restore, ImageName(layout));
  const std::string ok = layout.restore ? kRestoreOk : kBackupOk;

  const bool reached = faultCall != 0 && static_cast<int>(disk.calls.size()) >= faultCall;
  PlatformCall call{CallKind::kSameFile, ""};
  std::string stop;
  if (reached) {
    call = disk.calls[faultCall - 1];
    stop = StopMessage(layout.restore, layout.cutShort, call);
  }
  Check(message == (stop.empty() ? unfaulted : stop), "wrong message for the fault");
  if (!stop.empty()) {
    Check(static_cast<int>(disk.calls.size()) == faultCall, "the run went on after a failure");
  }

  if (message == kNameNotAsTyped) {
    // Refused before anything else: not even an old KEMBU.BIN is deleted.
    Check(disk.calls.size() == 1, "a refused name reached more than the name check");
    Check(disk.Has(kBackup) == layout.haveBackup &&
              (!layout.haveBackup || disk.Get(kBackup) == layout.backup),
          "a refused name changed KEMBU.BIN");
    Check(layout.alias != kSeparate || (disk.Has(kImage) == layout.haveImage &&
                                        (!layout.haveImage || disk.Get(kImage) == layout.image)),
          "a refused name changed the image");
    return message;
  }

  for (const auto& file : disk.files) {
    Check(file.first == kImage || file.first == kBackup || file.first == kLink,
          "a file appeared that is neither the image nor KEMBU.BIN");
  }

  if (layout.alias != kSeparate) {
    Check(disk.Has(kBackup) && disk.Get(kBackup) == layout.image,
          "the image that is KEMBU.BIN changed");
    Check(layout.alias != kLinkedToBackup || (disk.Has(kLink) && disk.files.at(kLink) ==
                                                                     disk.files.at(kBackup)),
          "the image's other name is gone");
    return message;
  }

  Check(disk.Has(kImage) == layout.haveImage, "the image appeared or vanished");
  if (layout.haveImage) {
    const Bytes& now = disk.Get(kImage);
    const bool restoreWrite = layout.restore && reached && !stop.empty() &&
                              (call.kind == CallKind::kWrite || call.kind == CallKind::kFlush);
    if (message == kRestoreOk || (restoreWrite && call.kind == CallKind::kFlush)) {
      // The block went out whole; only its flush may have failed.
      Check(now == Restored(layout.image, layout.backup), "the restored image is wrong");
    } else if (restoreWrite && layout.cutShort) {
      // The one fault allowed to leave a mixed block: the write, a byte short.
      Bytes partial = Restored(layout.image, layout.backup);
      partial[HEADER_SIZE - 1] = layout.image[HEADER_SIZE - 1];
      Check(now == partial, "a restore cut short wrote something else than its block");
    } else {
      Check(now == layout.image, "the image changed");
    }
  }

  if (layout.restore) {
    Check(disk.Has(kBackup) == layout.haveBackup, "a restore created or deleted KEMBU.BIN");
    Check(!layout.haveBackup || disk.Get(kBackup) == layout.backup, "a restore changed KEMBU.BIN");
  } else if (message == ok) {
    Check(disk.Has(kBackup) && disk.Get(kBackup) == BodyOf(layout.image),
          "a backup that succeeded saved the wrong bytes");
  } else if (disk.Has(kBackup) && disk.Get(kBackup).size() >= BODY_SIZE) {
    // A restore must refuse whatever a failed backup leaves: nothing, or fewer
    // than 490 bytes, unless it is the right body after all.
    Check(layout.image.size() >= HEADER_SIZE && disk.Get(kBackup) == BodyOf(layout.image),
          "a failed backup left 490 bytes that are not the image's body");
  }
  return message;
}

// A backup and a restore, neither faulted, give the image back unchanged.
void CheckRoundTrip(const Layout& layout) {
  if (layout.alias != kSeparate || !layout.haveImage) return;
  FakeDisk& disk = Prepare(layout, 0, 0);
  if (Run(disk, false, kImage) != kBackupOk) return;
  const std::string restored = Run(disk, true, kImage);
  Check(restored == (layout.imageReadOnly ? kOpenOutput : kRestoreOk),
        "a restore right after a backup did not succeed");
  Check(disk.Get(kImage) == layout.image, "a backup and a restore changed the image");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Layout layout = Parse(data, size);
  const std::string unfaulted = UnfaultedMessage(layout);
  RunAndCheck(layout, 0, unfaulted);
  if (layout.faultCall != 0) RunAndCheck(layout, layout.faultCall, unfaulted);
  CheckRoundTrip(layout);
  return 0;
}
