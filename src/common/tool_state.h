// The one record of the tool: everything a run knows lives here, in static
// storage, zeroed before the first instruction of the tool runs.
#pragma once

#include <stdint.h>

// A platform file handle as the slots keep it: a Win32 HANDLE or a POSIX
// descriptor, widened to one integer type so the record is the same everywhere.
typedef intptr_t SlotHandle;

enum { NAME_FIELD_SIZE = 300 };  // image name plus its terminating zero
enum { HEADER_SIZE = 512 };

enum RunMode {
  MODE_NONE = 0,           // no operation letter found: print the usage text
  MODE_BACKUP = 1,
  MODE_RESTORE = 2,
  MODE_NAME_TOO_LONG = 3,  // an operation was asked for, but its name does not fit
};

struct ToolState {
  SlotHandle standardOutput;
  SlotHandle inputSlot;   // the one file open for reading, or the empty marker
  SlotHandle outputSlot;  // the one file open for writing, or the empty marker
  char imageName[NAME_FIELD_SIZE];
  unsigned char headerBuffer[HEADER_SIZE];
};

extern ToolState toolState;
