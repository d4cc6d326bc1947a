// Finds the operation letter and the image name in a raw command line.
#pragma once

#include "common/tool_state.h"

// Scans the line (program name first, a byte below 0x20 ends it), writes the
// image name into toolState.imageName and returns the requested mode. A name
// that would not fit the name field is not stored: the result is then
// MODE_NAME_TOO_LONG and the name field is empty.
RunMode ScanCommandLine(const char* line);

// For platforms whose file names cannot hold a quotation mark: a name that
// starts with one is the text up to the next one, which only spaces may
// follow. Takes the marks off in place; false, leaving the name as it was,
// for any other quotation mark.
bool UnquoteName(char* name);
