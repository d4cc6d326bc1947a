// The tool's only contact with the operating system: the console, the process,
// and two file slots in toolState (one file open for reading, one for writing).
// One implementation per platform; the build picks it.
#pragma once

#include <stdint.h>

struct IoResult {
  bool failed;     // the platform call itself failed
  uint32_t count;  // bytes actually moved; meaningful only when !failed
};

// Prepares the process and stores the standard-output handle in toolState.
// Runs first; afterwards both slots are empty.
void StartPlatform();

// The raw command line: the program name, then the arguments as typed, as one
// zero-terminated 8-bit text.
const char* GetRawCommandLine();

// Ends the process with exit code 0.
[[noreturn]] void EndProcess();

// Writes the text, without its terminating zero, to standard output in one
// call. A failed or short write goes unnoticed.
void PrintText(const char* text);

// Open an existing file exclusively into the input slot (for reading) or the
// output slot (for writing, without truncation). Never create; false on
// failure, and then the slot keeps what it held.
bool OpenInput(const char* name);
bool OpenOutput(const char* name);

// Opens an empty file for writing into the output slot: a new one, or else an
// existing one emptied. Never follows a symbolic link on the way.
bool CreateOutput(const char* name);

// One read or write at the slot's current position; a short count is reported
// as it is and never completed.
IoResult ReadInput(void* buffer, uint32_t count);
IoResult WriteOutput(const void* buffer, uint32_t count);

// Flushes what was written to the output slot through to storage.
bool FlushOutput();

// Close the slot's file when it holds one; the slot is empty afterwards.
void CloseInput();
void CloseOutput();

// Deletes the file, unless another process holds it open exclusively; one
// that cannot be deleted otherwise is emptied where it can be, so its old
// content does not outlive the call. Reports nothing.
void DeleteNamedFile(const char* name);

// True when both names exist and, after following symbolic links, are the
// same file. False when either cannot be looked at.
bool IsSameFile(const char* nameA, const char* nameB);

// Flushes the current folder's names to storage, so that a file created or
// deleted there stays so after a power cut. Reports nothing: some file
// systems cannot flush a folder.
void SyncCurrentFolder();

// The name the opens use for the image name that the scan took, which runs
// to the end of the command line; it may point into `name`, which it may
// change. Null when no file can be opened under the name exactly as the user
// typed it: a character replaced on its way in, the name cut short, a
// quotation mark that no file name can hold. Touches no file.
const char* UsableImageName(char* name);
