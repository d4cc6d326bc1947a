#include "fake/fake_io.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "cli/command_line.h"
#include "common/tool_state.h"
#include "io/io.h"

namespace {

struct OpenFile {
  std::shared_ptr<FakeFile> file;
  std::string name;
  size_t position = 0;
};

FakeDisk disk;
OpenFile handles[3];  // handle 1 serves the input slot, 2 the output slot

// Counts the call; true when this is the one chosen to fail.
bool Fails(CallKind kind, const std::string& name) {
  disk.calls.push_back({kind, name});
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
          const std::string& name) {
  if (*slot != 0) disk.slotMisuse = true;
  handles[handle] = {file, name, 0};
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
const char* GetRawCommandLine() { return ""; }
void EndProcess() { abort(); }
void PrintText(const char*) {}

bool OpenInput(const char* name) {
  auto file = Find(name);
  if (Fails(CallKind::kOpenInput, name) || !file || file->directory || IsOpen(file)) return false;
  return Open(&toolState.inputSlot, 1, file, name);
}

bool OpenOutput(const char* name) {
  auto file = Find(name);
  if (Fails(CallKind::kOpenOutput, name) || !file || Stuck(file)) return false;
  return Open(&toolState.outputSlot, 2, file, name);
}

bool CreateOutput(const char* name) {
  auto file = Find(name);
  if (Fails(CallKind::kCreate, name)) return false;
  if (!file) {
    disk.Put(name, {});
    file = Find(name);
  } else if (Stuck(file)) {
    return false;
  }
  file->bytes.clear();
  return Open(&toolState.outputSlot, 2, file, name);
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

IoResult WriteOutput(const void* buffer, uint32_t count) {
  OpenFile& open = handles[toolState.outputSlot];
  if (!open.file) disk.slotMisuse = true;
  if (Fails(CallKind::kWrite, open.name) || !open.file) return IoResult{true, 0};
  const uint32_t moved = CutsShort() ? count - 1 : count;
  Bytes& bytes = open.file->bytes;
  if (bytes.size() < open.position + moved) bytes.resize(open.position + moved);
  memcpy(&bytes[0] + open.position, buffer, moved);
  open.position += moved;
  return IoResult{false, moved};
}

bool FlushOutput() {
  if (!handles[toolState.outputSlot].file) disk.slotMisuse = true;
  return !Fails(CallKind::kFlush, handles[toolState.outputSlot].name);
}

void CloseInput() { Close(&toolState.inputSlot); }
void CloseOutput() { Close(&toolState.outputSlot); }

void DeleteNamedFile(const char* name) {
  auto file = Find(name);
  if (!Fails(CallKind::kDelete, name) && file && !Stuck(file)) {
    disk.files.erase(name);
    return;
  }
  // What stays is emptied where it can be, like a create's second attempt.
  if (file && !Fails(CallKind::kEmpty, name) && !Stuck(file)) file->bytes.clear();
}

bool IsSameFile(const char* nameA, const char* nameB) {
  return !Fails(CallKind::kSameFile, nameA) && Find(nameA) && Find(nameA) == Find(nameB);
}

// Fails like a name that a conversion changed on its way in.
const char* UsableImageName(char* name) {
  if (Fails(CallKind::kNameCheck, name) || !disk.nameAsTyped) return nullptr;
  return disk.quotedNames ? UnquoteName(name) : name;
}

// Fails like a folder that cannot be opened or flushed.
void SyncCurrentFolder() { Fails(CallKind::kSyncFolder, "."); }
