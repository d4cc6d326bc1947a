/* The Wine floor: a Windows program built like kembu.exe (no C runtime, raw
   entry point, KERNEL32 only) that exits at once. */
#include <windows.h>

void Start(void) { ExitProcess(0); }
