// What the procedures say, and which message each kind of platform fault must
// give: shared by the fault walk and the procedures fuzzer.
#pragma once

#include <string>

#include "fake/fake_io.h"

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
    case CallKind::kSyncFolder: return "";
    case CallKind::kOpenInput: return onBackupFile ? kOpenBackup : kOpenInput;
    case CallKind::kRead: return onBackupFile ? kReadBackup : kReadInput;
    case CallKind::kCreate: return kCreateBackup;
    case CallKind::kOpenOutput: return kOpenOutput;
    case CallKind::kWrite:
    case CallKind::kFlush: return restore ? kWriteOutput : kWriteBackup;
  }
  return "";
}
