#include "fake/fake_io.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "common/tool_state.h"
#include "io/io.h"

namespace {

struct OpenFile {
  std::shared_ptr<FakeFile> file;
  std::string name;
  size_t position = 0;
  bool writable = false;
  bool written = false;
};

FakeDisk disk;
OpenFile handles[3];  // handle 1 serves the input slot, 2 the output slot

bool IsOpen(const std::shared_ptr<FakeFile>& file);

void Interlope() {
  auto found = disk.files.find(disk.interloperName);
  if (disk.interloper == Interloper::kSwap) {
    if (found != disk.files.end()) disk.displaced = found->second;
    disk.Put(disk.interloperName, disk.interloperBytes);
    disk.interloped = true;
  } else if (found != disk.files.end() && !IsOpen(found->second)) {
    found->second->bytes = disk.interloperBytes;
    disk.interloped = true;
  }
}

// Counts the call, after the interloper's turn if it comes now; true when
// this is the call chosen to fail. Every operation calls it before it looks
// at the disk.
bool Fails(CallKind kind, const std::string& name) {
  disk.calls.push_back({kind, name});
  if (static_cast<int>(disk.calls.size()) == disk.interloperCall) Interlope();
  return static_cast<int>(disk.calls.size()) == disk.failCall;
}

bool CutsShort() { return static_cast<int>(disk.calls.size()) == disk.shortCall; }

bool IsOpen(const std::shared_ptr<FakeFile>& file) {
  return handles[1].file == file || handles[2].file == file;
}


// Like DeleteFileA and share mode 0: a folder, a read-only file or an open one
// can be neither written nor deleted.
bool Stuck(const std::shared_ptr<FakeFile>& file) {
  return file->directory || file->readOnly || IsOpen(file);
}

bool Open(SlotHandle* slot, SlotHandle handle, const std::shared_ptr<FakeFile>& file,
          const std::string& name, bool writable) {
  if (*slot != 0) disk.slotMisuse = true;
  handles[handle] = {file, name, 0, writable};
  *slot = handle;
  return true;
}

std::shared_ptr<FakeFile> Find(const std::string& name) {
  auto found = disk.files.find(name);
  return found == disk.files.end() ? nullptr : found->second;
}

void Close(SlotHandle* slot) {
  if (*slot == 0) return;
  handles[*slot] = OpenFile();
  *slot = 0;
}

}  // namespace

void FakeDisk::Put(const std::string& name, const Bytes& content) {
  files[name] = std::make_shared<FakeFile>();
  files[name]->bytes = content;
}

bool FakeDisk::AnySlotOpen() const { return handles[1].file || handles[2].file; }

FakeDisk& ResetFakeDisk() {
  disk = FakeDisk();
  handles[1] = handles[2] = OpenFile();
  toolState = ToolState();
  return disk;
}

void StartPlatform() {}
void KeepArguments(int, char**) {}
const char* GetRawCommandLine() { return ""; }

// Fails like a name that a conversion changed on its way in.
bool IsNameAsTyped(const char* name) {
  return !Fails(CallKind::kNameCheck, name) && disk.nameAsTyped;
}

bool FileNamesHoldQuotes() { return true; }
void EndProcess() { abort(); }
void PrintBytes(const char*, uint32_t) {}

bool OpenInput(const char* name) {
  if (Fails(CallKind::kOpenInput, name)) return false;
  auto file = Find(name);
  if (!file || file->directory || IsOpen(file)) return false;
  return Open(&toolState.inputSlot, 1, file, name, false);
}

// A read-only file is opened for reading only.
bool OpenInputForUpdate(const char* name) {
  if (Fails(CallKind::kOpenInput, name)) return false;
  auto file = Find(name);
  if (!file || file->directory || IsOpen(file)) return false;
  return Open(&toolState.inputSlot, 1, file, name, !file->readOnly);
}

void MoveInputToOutput() {
  if (toolState.inputSlot == 0 || toolState.outputSlot != 0) disk.slotMisuse = true;
  if (handles[1].writable) {
    handles[2] = handles[1];
    toolState.outputSlot = 2;
  }
  handles[1] = OpenFile();
  toolState.inputSlot = 0;
}

bool OutputIsNamed(const char* name) {
  const OpenFile& open = handles[toolState.outputSlot];
  if (Fails(open.written ? CallKind::kStillNamed : CallKind::kOpenOutput, name)) return false;
  return open.file && open.writable && Find(name) == open.file;
}

bool CreateOutput(const char* name) {
  if (Fails(CallKind::kCreate, name)) return false;
  auto file = Find(name);
  if (!file) {
    disk.Put(name, {});
    file = Find(name);
  } else if (Stuck(file)) {
    return false;
  }
  file->bytes.clear();
  return Open(&toolState.outputSlot, 2, file, name, true);
}

// Deletes the output's file while the name still names it.
void DiscardOutput(const char* name) {
  if (!Fails(CallKind::kDiscard, name) && Find(name) == handles[toolState.outputSlot].file) {
    disk.files.erase(name);
  }
  Close(&toolState.outputSlot);
}

IoResult ReadInput(void* buffer, uint32_t count) {
  OpenFile& open = handles[toolState.inputSlot];
  if (!open.file) disk.slotMisuse = true;
  if (Fails(CallKind::kRead, open.name) || !open.file) return IoResult{true, 0};
  const Bytes& bytes = open.file->bytes;
  const size_t left = open.position < bytes.size() ? bytes.size() - open.position : 0;
  uint32_t moved = static_cast<uint32_t>(std::min<size_t>(count, left));
  if (CutsShort() && moved > 0) --moved;
  memcpy(buffer, bytes.data() + open.position, moved);
  open.position += moved;
  return IoResult{false, moved};
}

// At the file's start.
IoResult WriteOutput(const void* buffer, uint32_t count) {
  OpenFile& open = handles[toolState.outputSlot];
  if (!open.file || !open.writable) disk.slotMisuse = true;
  if (Fails(CallKind::kWrite, open.name) || !open.file) return IoResult{true, 0};
  const uint32_t moved = CutsShort() ? count - 1 : count;
  Bytes& bytes = open.file->bytes;
  if (bytes.size() < moved) bytes.resize(moved);
  memcpy(&bytes[0], buffer, moved);
  open.written = true;
  return IoResult{false, moved};
}

bool FlushOutput() {
  if (!handles[toolState.outputSlot].file) disk.slotMisuse = true;
  return !Fails(CallKind::kFlush, handles[toolState.outputSlot].name);
}

void CloseInput() { Close(&toolState.inputSlot); }
void CloseOutput() { Close(&toolState.outputSlot); }

void DeleteNamedFile(const char* name) {
  const bool failed = Fails(CallKind::kDelete, name);
  auto file = Find(name);
  if (!failed && file && !Stuck(file)) {
    disk.files.erase(name);
    return;
  }
  // What stays is emptied where it can be, like a create's second attempt.
  if (file && !Fails(CallKind::kEmpty, name) && !Stuck(file)) file->bytes.clear();
}

bool IsSameFile(const char* nameA, const char* nameB) {
  if (Fails(CallKind::kSameFile, nameA)) return false;
  return Find(nameA) && Find(nameA) == Find(nameB);
}

// Fails like a folder whose flush meets an I/O error.
bool SyncCurrentFolder() { return !Fails(CallKind::kSyncFolder, "."); }
