// The tool's whole run: scan, banner, one operation or the usage text, end.
#pragma once

#include "common/tool_state.h"

// Runs the tool once and ends the process with exit code 0; never returns.
// The Windows program's entry point.
extern "C" [[noreturn]] void RunTool();

// Settles the image name that the scan took for the operation `mode`, then
// runs the operation on it. A name that does not fit the name field, that
// would not open the very file typed, or that is the backup file itself is
// refused before anything is touched; quotation marks that no file name can
// hold come off. Returns the outcome message.
const char* RunOperation(RunMode mode);
