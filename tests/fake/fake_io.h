// An in-memory disk behind the platform layer, for running the procedures
// without touching real files. It keeps Windows' share-mode-0 rules (a file
// open in one slot cannot be opened again or deleted) and can make any one
// platform call fail, or cut one read or write short by one byte.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "image.h"

struct FakeFile {
  Bytes bytes;
  bool readOnly = false;
  bool directory = false;
};

// kOpenOutput is the check that the output slot holds a writable file under
// the name before anything is written to it, kStillNamed the same check after
// the flush; kDiscard deletes what a failed backup wrote.
enum class CallKind {
  kNameCheck, kSameFile, kDelete, kEmpty, kOpenInput, kOpenOutput, kCreate, kRead, kWrite, kFlush,
  kStillNamed, kSyncFolder, kDiscard
};

// Another program, acting just before a chosen platform call: it renames
// another file over a name (allowed while the file is open, as on Linux), or
// rewrites a file in place where no slot holds it (as share mode 0, or a
// program that locks, allows).
enum class Interloper { kNone, kSwap, kRewrite };

struct PlatformCall {
  CallKind kind;
  std::string name;  // the file the call is about
};

struct FakeDisk {
  // Names map to files; two names sharing one file are hard links.
  std::map<std::string, std::shared_ptr<FakeFile>> files;

  bool nameAsTyped = true;  // what the name check answers (a failed check: false)
  int failCall = 0;   // 1-based number of the platform call that fails; 0: none
  int shortCall = 0;  // 1-based number of a read or write that moves one byte less
  std::vector<PlatformCall> calls;
  bool slotMisuse = false;  // an open into a full slot, or a read/write on an empty one

  Interloper interloper = Interloper::kNone;
  int interloperCall = 0;     // 1-based number of the call it acts before
  std::string interloperName;  // the name it renames over, or the file it rewrites
  Bytes interloperBytes;       // the new file's bytes, or what the file is rewritten to
  std::shared_ptr<FakeFile> displaced;  // the file a swap took the name from
  bool interloped = false;     // it did what it meant to

  void Put(const std::string& name, const Bytes& bytes);
  bool Has(const std::string& name) const { return files.count(name) != 0; }
  const Bytes& Get(const std::string& name) const { return files.at(name)->bytes; }
  bool Holds(const std::string& name, const Bytes& bytes) const {
    return Has(name) && Get(name) == bytes;
  }
  bool AnySlotOpen() const;
};

// Installs a fresh disk and empties both slots; returns the disk.
FakeDisk& ResetFakeDisk();
