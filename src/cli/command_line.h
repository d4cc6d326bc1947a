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
// follow; the closing mark becomes the name's end. Returns the name inside,
// `name` itself when it has no quotation mark, or null for any other one.
char* UnquoteName(char* name);
