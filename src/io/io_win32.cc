// Console, process and file slots over the Win32 functions of KERNEL32. The
// functions come in io.h's order, as in io_posix.cc. The program links
// without a C runtime: RunTool is the raw entry point.
#include <windows.h>

#include "common/tool_state.h"
#include "io/io.h"

// No successful CreateFileA returns zero, so zero marks an empty slot, and
// the zeroed toolState starts with both slots empty.
static const SlotHandle EMPTY_SLOT = 0;

static HANDLE AsHandle(SlotHandle slot) { return reinterpret_cast<HANDLE>(slot); }

// Without a C runtime, these are ours to provide for the calls the compiler
// may emit when it copies, clears or measures memory. Each has a section of
// its own, which the linker drops while nothing calls it.
#define KEMBU_DROPPED_UNLESS_CALLED(name) __attribute__((section(".text$" #name)))
extern "C" KEMBU_DROPPED_UNLESS_CALLED(memset) void* memset(void* destination, int value,
                                                           size_t count) {
  unsigned char* bytes = static_cast<unsigned char*>(destination);
  while (count--) *bytes++ = static_cast<unsigned char>(value);
  return destination;
}

extern "C" KEMBU_DROPPED_UNLESS_CALLED(memcpy) void* memcpy(void* destination, const void* source,
                                                           size_t count) {
  unsigned char* to = static_cast<unsigned char*>(destination);
  const unsigned char* from = static_cast<const unsigned char*>(source);
  while (count--) *to++ = *from++;
  return destination;
}

extern "C" KEMBU_DROPPED_UNLESS_CALLED(strlen) size_t strlen(const char* text) {
  size_t length = 0;
  while (text[length]) ++length;
  return length;
}

void StartPlatform() {
  toolState.standardOutput = reinterpret_cast<SlotHandle>(GetStdHandle(STD_OUTPUT_HANDLE));
}

// The program starts at RunTool, with the command line kept by the system.
KEMBU_DROPPED_UNLESS_CALLED(KeepArguments)
void KeepArguments(int /*count*/, char** /*vector*/) {}

const char* GetRawCommandLine() { return GetCommandLineA(); }

// GetCommandLineA is made from the UTF-16 command line, and a character that
// the ANSI code page lacks becomes a best-fit look-alike or '?' there: U+FF0F
// becomes '/', so the A functions would open another file. The name is exact
// when its ANSI text converts back to the very UTF-16 characters that end the
// line, right after a plain space. A control character ends the name in both
// texts, as the conversions leave those as they are.
bool IsNameAsTyped(const char* name) {
  WCHAR typed[NAME_FIELD_SIZE];  // at most one UTF-16 unit per byte, and the zero
  const int units = MultiByteToWideChar(CP_ACP, 0, name, -1, typed, NAME_FIELD_SIZE) - 1;
  if (units < 0) return false;
  const WCHAR* line = GetCommandLineW();
  int end = 0;
  while (line[end] >= L' ') ++end;
  if (end <= units) return false;
  const WCHAR* tail = line + (end - units);
  if (tail[-1] != L' ') return false;
  for (int i = 0; i < units; ++i) {
    if (tail[i] != typed[i]) return false;
  }
  return true;
}

// Windows hands a program its command line with the quotation marks that
// cmd, PowerShell and Explorer's "Copy as path" put around a name, and no
// Windows file name can hold one.
bool FileNamesHoldQuotes() { return false; }

void EndProcess() { ExitProcess(0); }

void PrintBytes(const char* text, uint32_t length) {
  DWORD written;
  WriteFile(AsHandle(toolState.standardOutput), text, length, &written, nullptr);
}

// Four bytes of a text as one little-endian word. A text that ends within
// them never matches a word without a zero byte, whatever follows its end.
static uint32_t Word(const char* text) {
  uint32_t word;
  __builtin_memcpy(&word, text, sizeof word);
  return word;
}

static uint32_t WordOf(char a, char b, char c, char d) {
  return static_cast<uint32_t>(a | b << 8 | c << 16 | d << 24);
}

// True when the name opens a volume or a drive (\\.\E:, \\?\PhysicalDrive0),
// whose handle reports a disk as a file's does: a restore would write over
// its first sector. In the device namespace (\\.\ and \\?\; \??\ is refused
// whole), only a path below a drive or a UNC share names a file. \\.\ paths
// are normalized, as the open will (\\.\E:\..\F: is \\.\F:); \\?\ ones the
// open takes as they stand, '/' being no separator there. \\.\E:\ is the
// root folder, which the open refuses.
static bool NamesDevice(const char* name) {
  char full[600];  // a name's 299 bytes below a current folder's 260
  if (Word(name) == WordOf('\\', '?', '?', '\\')) return true;
  const DWORD length = GetFullPathNameA(name, sizeof full, full, nullptr);
  if (length == 0 || length >= sizeof full) return true;  // no name to open
  const uint32_t prefix = Word(full);
  if (prefix != WordOf('\\', '\\', '.', '\\') && prefix != WordOf('\\', '\\', '?', '\\')) {
    return false;
  }
  const char* rest = full + 4;
  if (rest[1] == ':') return rest[2] != '\\';
  return (Word(rest) | WordOf(0x20, 0x20, 0x20, 0)) != WordOf('u', 'n', 'c', '\\');
}

// A file as the system tells one from another: its volume serial number and
// file index.
typedef BY_HANDLE_FILE_INFORMATION FileId;

// The identity of the file the handle, or the name, leads to. The name is
// opened for no access at all, so the look does not disturb other holders;
// never a name the opens refuse, as opening a pipe connects to its server
// and opening a port can reset the board behind it.
static bool Identify(HANDLE handle, FileId* id) {
  return GetFileInformationByHandle(handle, id) != 0;
}
static bool IdentifyNamed(const char* name, FileId* id) {
  if (NamesDevice(name)) return false;
  const HANDLE handle =
      CreateFileA(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const bool known = Identify(handle, id);
  CloseHandle(handle);
  return known;
}

// True when the name names that file now.
static bool Names(const char* name, const FileId& id) {
  FileId named;
  return IdentifyNamed(name, &named) && named.dwVolumeSerialNumber == id.dwVolumeSerialNumber &&
         named.nFileIndexHigh == id.nFileIndexHigh && named.nFileIndexLow == id.nFileIndexLow;
}

// Share mode 0: nobody else may open the file while the tool holds it, nor
// rename or delete it. Only a file on a disk is kept: a console, a port (AUX,
// COM1), the null device, a pipe or a volume could make the run wait forever,
// or take what is written to it. A handle to a volume, a partition or a drive
// reports a disk, as a file's does, whatever name led to it (a link, a mount
// point, Wine's path into /dev), but refuses what only a file can answer: its
// file information.
static bool OpenIntoSlot(SlotHandle* slot, const char* name, DWORD access, DWORD disposition,
                         DWORD attributes) {
  if (NamesDevice(name)) return false;
  const HANDLE handle = CreateFileA(name, access, 0, nullptr, disposition, attributes, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  FileId id;
  if (GetFileType(handle) != FILE_TYPE_DISK || !Identify(handle, &id)) {
    CloseHandle(handle);
    return false;
  }
  *slot = reinterpret_cast<SlotHandle>(handle);
  return true;
}

bool OpenInput(const char* name) {
  return OpenIntoSlot(&toolState.inputSlot, name, GENERIC_READ, OPEN_EXISTING, 0);
}

// Whether the input slot's file is open for writing too.
static bool inputWritable;

// Writing may be refused by the file's attributes or rights, or the medium;
// the file is then opened for reading only.
bool OpenInputForUpdate(const char* name) {
  inputWritable =
      OpenIntoSlot(&toolState.inputSlot, name, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, 0);
  return inputWritable || OpenInput(name);
}

static void EmptySlot(SlotHandle* slot) {
  if (*slot == EMPTY_SLOT) return;
  CloseHandle(AsHandle(*slot));
  *slot = EMPTY_SLOT;
}

void MoveInputToOutput() {
  if (inputWritable) {
    toolState.outputSlot = toolState.inputSlot;
    toolState.inputSlot = EMPTY_SLOT;
  }
  EmptySlot(&toolState.inputSlot);
}

// Windows lets no one rename or delete a file held with share mode 0, but
// under Wine a Linux program may.
bool OutputIsNamed(const char* name) {
  FileId held;
  return toolState.outputSlot != EMPTY_SLOT && Identify(AsHandle(toolState.outputSlot), &held) &&
         Names(name, held);
}

bool CreateOutput(const char* name) {
  return OpenIntoSlot(&toolState.outputSlot, name, GENERIC_WRITE, CREATE_NEW,
                      FILE_ATTRIBUTE_NORMAL) ||
         OpenIntoSlot(&toolState.outputSlot, name, GENERIC_WRITE, TRUNCATE_EXISTING,
                      FILE_ATTRIBUTE_NORMAL);
}

// A file held with share mode 0 cannot be deleted, not even by its holder,
// so it is closed first; until then no other program could reach it.
void DiscardOutput(const char* name) {
  const bool named = OutputIsNamed(name);
  CloseOutput();
  if (named) DeleteFileA(name);
}

IoResult ReadInput(void* buffer, uint32_t count) {
  DWORD moved = 0;
  IoResult result;
  result.failed = !ReadFile(AsHandle(toolState.inputSlot), buffer, count, &moved, nullptr);
  result.count = moved;
  return result;
}

// A synchronous handle writes where the structure's offset says: the file's
// start. The system fills in only its status fields.
static OVERLAPPED fileStart;

IoResult WriteOutput(const void* buffer, uint32_t count) {
  DWORD moved = 0;
  IoResult result;
  result.failed = !WriteFile(AsHandle(toolState.outputSlot), buffer, count, &moved, &fileStart);
  result.count = moved;
  return result;
}

bool FlushOutput() { return FlushFileBuffers(AsHandle(toolState.outputSlot)) != 0; }

void CloseInput() { EmptySlot(&toolState.inputSlot); }

void CloseOutput() { EmptySlot(&toolState.outputSlot); }

// The emptying is tried even after a delete that reported success: Wine's
// delete succeeds in a folder the user may not change, and leaves the file.
// A file that is gone, or pending deletion, cannot be opened. Share mode 0:
// a file another program holds open stays whole.
void DeleteNamedFile(const char* name) {
  DeleteFileA(name);
  SlotHandle emptied = EMPTY_SLOT;
  if (OpenIntoSlot(&emptied, name, GENERIC_WRITE, TRUNCATE_EXISTING, FILE_ATTRIBUTE_NORMAL)) {
    EmptySlot(&emptied);
  }
}

bool IsSameFile(const char* nameA, const char* nameB) {
  FileId a;
  return IdentifyNamed(nameA, &a) && Names(nameB, a);
}

// A file system that journals its folders, as Windows' do, keeps a created
// name once the file itself is flushed.
bool SyncCurrentFolder() { return true; }
