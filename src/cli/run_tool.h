// The tool's whole run: scan, banner, one operation or the usage text, end.
#pragma once

// Runs the tool once and ends the process with exit code 0; never returns.
extern "C" [[noreturn]] void RunTool();
