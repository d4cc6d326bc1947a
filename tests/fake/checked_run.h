// One backup or restore over a fake disk laid out as told, with at most one
// platform call failed or cut short by a byte, and the checks that hold for
// every such run: the message of the step that failed (or, with no fault,
// the one the layout calls for), an image changed only by a restore's final
// write, a KEMBU.BIN that never holds 490 bytes other than the image's body,
// both slots empty after. Shared by the fault walk and the procedures fuzzer.
#pragma once

#include <string.h>

#include <string>
#include <vector>

#include "common/tool_state.h"
#include "fake/fake_io.h"
#include "cli/run_tool.h"
#include "header/procedures.h"
#include "io/io.h"

inline const char kImage[] = "fw.img";
inline const char kLink[] = "link.img";
inline const char kBackup[] = "KEMBU.BIN";

inline const std::string kBackupOk = "\r\nBackup Ok!";
inline const std::string kRestoreOk = "\r\nRestore Ok!";
inline const std::string kNameNotAsTyped = "\r\nImage name has unsupported characters!";
inline const std::string kInputIsBackup = "\r\nInput file is KEMBU.BIN!";
inline const std::string kOpenInput = "\r\nError opening input file!";
inline const std::string kReadInput = "\r\nError reading input file!";
inline const std::string kBadChecksum = "\r\nBad checksum in input file!";
inline const std::string kCreateBackup = "\r\nError creating KEMBU.BIN!";
inline const std::string kWriteBackup = "\r\nError writing KEMBU.BIN!";
inline const std::string kOpenBackup = "\r\nError opening KEMBU.BIN!";
inline const std::string kReadBackup = "\r\nError reading KEMBU.BIN!";
inline const std::string kOpenOutput = "\r\nError opening output file!";
inline const std::string kWriteOutput = "\r\nError writing output file!";

// The message a run must give when this call failed (or, with cutShort, moved
// one byte less); empty when such a fault does not stop the run.
inline std::string StopMessage(bool restore, bool cutShort, const PlatformCall& call) {
  const bool onBackupFile = call.name == "KEMBU.BIN";
  const bool countsBytes = call.kind == CallKind::kRead || call.kind == CallKind::kWrite;
  if (cutShort && !countsBytes) return "";
  switch (call.kind) {
    case CallKind::kNameCheck: return kNameNotAsTyped;
    case CallKind::kSameFile:
    case CallKind::kDelete:
    case CallKind::kEmpty:
    case CallKind::kDiscard: return "";
    case CallKind::kOpenInput: return onBackupFile ? kOpenBackup : kOpenInput;
    case CallKind::kRead: return onBackupFile ? kReadBackup : kReadInput;
    case CallKind::kCreate: return kCreateBackup;
    case CallKind::kOpenOutput: return kOpenOutput;
    case CallKind::kWrite:
    case CallKind::kFlush:
    case CallKind::kStillNamed: return restore ? kWriteOutput : kWriteBackup;
    case CallKind::kSyncFolder: return kWriteBackup;
  }
  return "";
}

// How the image relates to KEMBU.BIN.
enum Alias { kSeparate, kNamedBackup, kLinkedToBackup };

struct Layout {
  bool restore = false;
  Bytes image, backup;
  bool haveImage = true, haveBackup = true;
  bool imageReadOnly = false;
  bool backupStuck = false;  // KEMBU.BIN is read-only, or a folder when backupIsFolder
  bool backupIsFolder = false;
  Alias alias = kSeparate;
  bool nameAsTyped = true;  // false: the name reached the tool changed on the way
  const char* name = nullptr;  // the name typed, when not the alias's
  int faultCall = 0;  // 1-based platform call to fail or cut short; 0: none
  bool cutShort = false;
};

inline const char* ImageName(const Layout& layout) {
  if (layout.name) return layout.name;
  return layout.alias == kNamedBackup ? kBackup : layout.alias == kLinkedToBackup ? kLink : kImage;
}

inline FakeDisk& Prepare(const Layout& layout, int faultCall) {
  FakeDisk& disk = ResetFakeDisk();
  if (layout.haveBackup) {
    disk.Put(kBackup, layout.backup);
    disk.files[kBackup]->readOnly = layout.backupStuck && !layout.backupIsFolder;
    disk.files[kBackup]->directory = layout.backupIsFolder;
  }
  if (layout.alias == kLinkedToBackup) disk.files[kLink] = disk.files[kBackup];
  if (layout.alias == kSeparate && layout.haveImage) {
    disk.Put(kImage, layout.image);
    disk.files[kImage]->readOnly = layout.imageReadOnly;
  }
  disk.nameAsTyped = layout.nameAsTyped;
  (layout.cutShort ? disk.shortCall : disk.failCall) = faultCall;
  return disk;
}

// What a run gives without faults, from the layout alone.
inline std::string UnfaultedMessage(const Layout& layout) {
  if (!layout.nameAsTyped) return kNameNotAsTyped;
  if (layout.alias != kSeparate) return kInputIsBackup;
  if (!layout.haveImage || !*ImageName(layout)) return kOpenInput;
  if (layout.image.size() < kHeaderSize) return kReadInput;
  if (!Sealed(layout.image)) return kBadChecksum;
  if (!layout.restore) return layout.haveBackup && layout.backupStuck ? kCreateBackup : kBackupOk;
  if (!layout.haveBackup || layout.backupIsFolder) return kOpenBackup;
  if (layout.backup.size() < kBodySize) return kReadBackup;
  if (layout.imageReadOnly) return kOpenOutput;
  return kRestoreOk;
}

// One operation the way the run sequence runs it, slots emptied after;
// returns the message, or *fault says what went wrong.
inline std::string RunOn(FakeDisk& disk, bool restore, const char* name, const char** fault) {
  strcpy(toolState.imageName, name);
  const std::string message = RunOperation(restore ? MODE_RESTORE : MODE_BACKUP);
  CloseInput();
  CloseOutput();
  if (disk.AnySlotOpen()) *fault = "a slot still holds a file after closing both";
  if (disk.slotMisuse) *fault = "a slot was opened twice or used while empty";
  return message;
}

struct CheckedRun {
  std::string message;
  bool reached = false;        // the chosen call was made
  const char* fault = nullptr;  // the first check that failed
};

// What was checked of the disk after the run; nullptr when all holds.
inline const char* CheckDisk(const Layout& layout, const FakeDisk& disk, const std::string& message,
                             const PlatformCall* call, const std::string& stop) {
  // "Ok!" only after the write, its flush, for a backup the folder's flush,
  // and last the check that the name still holds what was written.
  if (message == kBackupOk || message == kRestoreOk) {
    std::vector<CallKind> last = {CallKind::kWrite, CallKind::kFlush, CallKind::kStillNamed};
    if (message == kBackupOk) last.insert(last.end() - 1, CallKind::kSyncFolder);
    for (size_t i = 0; i < last.size(); ++i) {
      if (disk.calls.size() <= i || disk.calls.rbegin()[i].kind != last.rbegin()[i]) {
        return "\"Ok!\" without the write and the flushes, and then the name's check, last";
      }
    }
  }
  if (message == kInputIsBackup && disk.calls.size() != 2) {
    return "a refused image reached more than the name and identity checks";
  }
  const bool backupKept =
      layout.haveBackup ? disk.Holds(kBackup, layout.backup) : !disk.Has(kBackup);
  if (message == kNameNotAsTyped) {
    // Refused before anything else: not even an old KEMBU.BIN is deleted.
    if (disk.calls.size() != 1) return "a refused name reached more than the name check";
    if (!backupKept) return "a refused name changed KEMBU.BIN";
    const bool imageKept = layout.haveImage ? disk.Holds(kImage, layout.image) : !disk.Has(kImage);
    if (layout.alias == kSeparate && !imageKept) return "a refused name changed the image";
    return nullptr;
  }
  for (const auto& file : disk.files) {
    if (file.first != kImage && file.first != kBackup && file.first != kLink) {
      return "a file appeared that is neither the image nor KEMBU.BIN";
    }
  }
  if (layout.alias != kSeparate) {
    if (!disk.Holds(kBackup, layout.image)) return "the image that is KEMBU.BIN changed";
    if (layout.alias == kLinkedToBackup &&
        (!disk.Has(kLink) || disk.files.at(kLink) != disk.files.at(kBackup))) {
      return "the image's other name is gone";
    }
    return nullptr;
  }
  if (disk.Has(kImage) != layout.haveImage) return "the image appeared or vanished";
  if (disk.Has(kImage)) {
    const Bytes& now = disk.Get(kImage);
    const bool restoreWrite = layout.restore && call && !stop.empty() &&
                              (call->kind == CallKind::kWrite || call->kind == CallKind::kFlush ||
                               call->kind == CallKind::kStillNamed);
    if (message == kRestoreOk || (restoreWrite && call->kind != CallKind::kWrite)) {
      // The block went out whole; only its flush, or the check after it, failed.
      if (now != Restored(layout.image, layout.backup)) return "the restored image is wrong";
    } else if (restoreWrite && layout.cutShort) {
      // The one fault allowed to leave a mixed block: the write, a byte short.
      Bytes partial = Restored(layout.image, layout.backup);
      partial[kHeaderSize - 1] = layout.image[kHeaderSize - 1];
      if (now != partial) return "a restore cut short wrote something else than its block";
    } else if (now != layout.image) {
      return "the image changed";
    }
  }
  if (layout.restore) {
    if (!backupKept) return "a restore changed, created or deleted KEMBU.BIN";
  } else if (message == kBackupOk) {
    if (!disk.Holds(kBackup, Body(layout.image))) return "a good backup saved wrong bytes";
  } else if (layout.haveBackup && layout.backupStuck) {
    // Neither deleted nor emptied: a known and accepted limit.
    if (!backupKept) return "a KEMBU.BIN that cannot be changed changed";
  } else if (disk.Has(kBackup) &&
             !(call && call->kind == CallKind::kDelete && disk.Get(kBackup).empty())) {
    // A failed backup leaves no KEMBU.BIN; an empty one only where the old one
    // could not be deleted.
    return "a failed backup left a KEMBU.BIN";
  }
  return nullptr;
}

// Runs the layout's procedure with call `faultCall` failed or cut short (0:
// none) and checks the outcome.
inline CheckedRun RunChecked(const Layout& layout, int faultCall) {
  FakeDisk& disk = Prepare(layout, faultCall);
  CheckedRun run;
  run.message = RunOn(disk, layout.restore, ImageName(layout), &run.fault);
  run.reached = faultCall != 0 && static_cast<int>(disk.calls.size()) >= faultCall;
  const PlatformCall* call = run.reached ? &disk.calls[faultCall - 1] : nullptr;
  const std::string stop = call ? StopMessage(layout.restore, layout.cutShort, *call) : "";
  if (run.fault) return run;
  if (run.message != (stop.empty() ? UnfaultedMessage(layout) : stop)) {
    run.fault = "wrong message for the layout and the fault";
  } else if (!stop.empty() && static_cast<int>(disk.calls.size()) != faultCall &&
             !(disk.calls.size() == static_cast<size_t>(faultCall) + 1 &&
               disk.calls.back().kind == CallKind::kDiscard)) {
    run.fault = "the run went on after a failure, but to delete what it wrote";
  } else {
    run.fault = CheckDisk(layout, disk, run.message, call, stop);
  }
  if (run.fault || faultCall != 0 || run.message != kRestoreOk) return run;
  // Restoring twice is restoring once.
  const Bytes once = disk.Get(kImage);
  if (RunOn(disk, true, kImage, &run.fault) != kRestoreOk || disk.Get(kImage) != once) {
    run.fault = "a second restore changed the image";
  }
  return run;
}

// A backup and a restore, neither faulted, give the image back unchanged;
// nullptr when they do.
inline const char* CheckRoundTrip(const Layout& layout) {
  if (layout.alias != kSeparate || !layout.haveImage || layout.name) return nullptr;
  FakeDisk& disk = Prepare(layout, 0);
  const char* fault = nullptr;
  if (RunOn(disk, false, kImage, &fault) != kBackupOk) return fault;
  const std::string restored = RunOn(disk, true, kImage, &fault);
  if (restored != (layout.imageReadOnly ? kOpenOutput : kRestoreOk)) {
    return "a restore right after a backup did not succeed";
  }
  if (disk.Get(kImage) != layout.image) return "a backup and a restore changed the image";
  return fault;
}
