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

static const char MSG_NAME_TOO_LONG[] = "\r\nImage name too long!";
static const char MSG_NAME_UNSUPPORTED[] = "\r\nImage name has unsupported characters!";
static const char MSG_INPUT_IS_BACKUP[] = "\r\nInput file is KEMBU.BIN!";
static const char LINE_END[] = "\r\n";

const char* RunOperation(RunMode mode) {
  char* const name = toolState.imageName;
  if (mode == MODE_NAME_TOO_LONG) return MSG_NAME_TOO_LONG;
  if (!IsNameAsTyped(name) || (!FileNamesHoldQuotes() && !UnquoteName(name))) {
    return MSG_NAME_UNSUPPORTED;
  }
  // The backup's first step, its delete, would destroy the image.
  if (IsSameFile(name, BACKUP_FILE_NAME)) return MSG_INPUT_IS_BACKUP;
  return mode == MODE_BACKUP ? RunBackup() : RunRestore();
}

extern "C" void RunTool() {
  StartPlatform();
  const RunMode mode = ScanCommandLine(GetRawCommandLine());
  PrintText(BANNER_TEXT);

  if (mode == MODE_NONE) {
    PrintText(USAGE_TEXT);
  } else {
    PrintText(RunOperation(mode));
    PrintText(LINE_END);
    CloseInput();
    CloseOutput();
  }
  EndProcess();
}
