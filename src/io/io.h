// The tool's only contact with the operating system: the console, the process,
// and two file slots in toolState (one file open for reading, one for writing).
// One implementation per platform, which the build picks; each defines these
// in this order.
#pragma once

#include <stdint.h>

struct IoResult {
  bool failed;     // the platform call itself failed
  uint32_t count;  // bytes actually moved; meaningful only when !failed
};

// Prepares the process and stores the standard-output handle in toolState.
// Runs first; afterwards both slots are empty.
void StartPlatform();

// Keeps the arguments that the C library hands to main, where the command
// line is made of them; a platform that keeps its command line itself
// ignores them.
void KeepArguments(int count, char** vector);

// The raw command line: the program name, then the arguments as typed, as one
// zero-terminated 8-bit text.
const char* GetRawCommandLine();

// True when the image name that the scan took, which runs to the end of the
// command line, opens the very file the user typed: no character replaced on
// its way in, the name not cut short. Touches no file.
bool IsNameAsTyped(const char* name);

// True where a file name may hold a quotation mark; elsewhere those around
// an image name are the shell's, and come off.
bool FileNamesHoldQuotes();

// Ends the process with exit code 0.
[[noreturn]] void EndProcess();

// Writes `length` bytes of text to standard output in one call. A failed or
// short write goes unnoticed.
void PrintBytes(const char* text, uint32_t length);

// Writes the text, without its terminating zero, to standard output in one
// call; a constant text is measured by the compiler.
inline void PrintText(const char* text) {
  PrintBytes(text, static_cast<uint32_t>(__builtin_strlen(text)));
}

// Opens an existing file exclusively into the input slot, for reading. Never
// creates, and opens nothing but a file on a disk; false on failure, and then
// the slot keeps what it held.
bool OpenInput(const char* name);

// As OpenInput, but for writing too where the system allows it, so that what
// is read can be written back through the very same open, with nothing in
// between (see MoveInputToOutput).
bool OpenInputForUpdate(const char* name);

// Hands the input slot's file to the output slot when OpenInputForUpdate
// opened it for writing too, and closes it otherwise; the input slot is
// empty afterwards.
void MoveInputToOutput();

// True when the output slot holds a file and `name` names it now: a file
// renamed over it, or its deletion, since it was opened would leave what is
// written to it under no name, or another one.
bool OutputIsNamed(const char* name);

// Opens an empty file for writing into the output slot: a new one, or else an
// existing one emptied. Never follows a symbolic link on the way.
bool CreateOutput(const char* name);

// Deletes the output slot's file, which CreateOutput made or emptied, when
// `name` still names it, and empties the slot: what a failed backup wrote
// must not pass for a backup.
void DiscardOutput(const char* name);

// One read at the input slot's current position, or one write at the start
// of the output slot's file; a short count is reported as it is and never
// completed.
IoResult ReadInput(void* buffer, uint32_t count);
IoResult WriteOutput(const void* buffer, uint32_t count);

// Flushes what was written to the output slot through to storage.
bool FlushOutput();

// Close the slot's file when it holds one; the slot is empty afterwards.
void CloseInput();
void CloseOutput();

// Deletes the file, unless another process holds it, or may hold it: a file
// whose holders cannot be looked for stays too. One that cannot be deleted
// otherwise is emptied where it can be and is the user's to empty, so its old
// content does not outlive the call. Reports nothing.
void DeleteNamedFile(const char* name);

// True when both names exist and, after following symbolic links, are the
// same file. False when either cannot be looked at.
bool IsSameFile(const char* nameA, const char* nameB);

// Flushes the current folder's names to storage, so that a file created or
// deleted there stays so after a power cut. False when the flush fails; a
// folder that cannot be opened for reading, no descriptor left, or a file
// system that cannot flush a folder fail nothing.
bool SyncCurrentFolder();
