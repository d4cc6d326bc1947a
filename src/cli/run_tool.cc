#include "cli/run_tool.h"

#include "cli/command_line.h"
#include "common/tool_state.h"
#include "header/procedures.h"
#include "io/io.h"

static const char BANNER_TEXT[] =
    "\r\n******************************************************"
    "\r\n* KEMBU fwimage header backup - restore by ZEM v0.00 *"
    "\r\n******************************************************";

static const char USAGE_TEXT[] =
    "\r\n Type \"kembu b fwimage.fw\""
    "\r\n     to Backup header BEFORE unpacking by trelm.exe"
    "\r\n Type \"kembu r fwimage.fw\""
    "\r\n     to Restore header AFTER  packing by trelm.exe\r\n";

static const char NAME_TOO_LONG_MESSAGE[] = "\r\nImage name too long!";
static const char LINE_END[] = "\r\n";

extern "C" void RunTool() {
  StartPlatform();
  const RunMode mode = ScanCommandLine(GetRawCommandLine());
  PrintText(BANNER_TEXT);

  if (mode == MODE_NONE) {
    PrintText(USAGE_TEXT);
  } else if (mode == MODE_NAME_TOO_LONG) {
    PrintText(NAME_TOO_LONG_MESSAGE);
    PrintText(LINE_END);
  } else {
    PrintText(mode == MODE_BACKUP ? RunBackup() : RunRestore());
    PrintText(LINE_END);
    CloseInput();
    CloseOutput();
  }
  EndProcess();
}
