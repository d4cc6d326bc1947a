#include "header/procedures.h"

#include "common/tool_state.h"
#include "header/header_block.h"
#include "io/io.h"

const char BACKUP_FILE_NAME[] = "KEMBU.BIN";

static const char MSG_OPEN_INPUT[] = "\r\nError opening input file!";
static const char MSG_READ_INPUT[] = "\r\nError reading input file!";
static const char MSG_BAD_CHECKSUM[] = "\r\nBad checksum in input file!";
static const char MSG_CREATE_BACKUP[] = "\r\nError creating KEMBU.BIN!";
static const char MSG_WRITE_BACKUP[] = "\r\nError writing KEMBU.BIN!";
static const char MSG_OPEN_BACKUP[] = "\r\nError opening KEMBU.BIN!";
static const char MSG_READ_BACKUP[] = "\r\nError reading KEMBU.BIN!";
static const char MSG_OPEN_OUTPUT[] = "\r\nError opening output file!";
static const char MSG_WRITE_OUTPUT[] = "\r\nError writing output file!";
static const char MSG_BACKUP_OK[] = "\r\nBackup Ok!";
static const char MSG_RESTORE_OK[] = "\r\nRestore Ok!";

// A short count is as much a failure as a failed call.
static bool ReadExactly(void* buffer, uint32_t count) {
  const IoResult result = ReadInput(buffer, count);
  return !result.failed && result.count == count;
}

// Success only once every byte has been written and flushed to storage.
static bool WriteExactlyAndFlush(const void* buffer, uint32_t count) {
  const IoResult result = WriteOutput(buffer, count);
  return !result.failed && result.count == count && FlushOutput();
}

// Reads and checks the image's header block into the header buffer, the
// image opened for writing too when it is to be restored; returns the
// failure message, or nullptr when the block is valid.
static const char* LoadImageHeader(const char* image, bool forUpdate) {
  if (!(forUpdate ? OpenInputForUpdate(image) : OpenInput(image))) return MSG_OPEN_INPUT;
  if (!ReadExactly(toolState.headerBuffer, HEADER_SIZE)) return MSG_READ_INPUT;
  if (!VerifyHeader(toolState.headerBuffer)) return MSG_BAD_CHECKSUM;
  return nullptr;
}

const char* RunBackup() {
  // A failed backup must not leave an older body behind for a later restore.
  DeleteNamedFile(BACKUP_FILE_NAME);
  const char* failure = LoadImageHeader(toolState.imageName, false);
  if (failure) return failure;
  if (!CreateOutput(BACKUP_FILE_NAME)) return MSG_CREATE_BACKUP;
  // The delete and the create changed the folder: without its flush, a power
  // cut could leave no KEMBU.BIN, or the older one, after "Backup Ok!". And
  // "Ok!" speaks of the name, which must hold what was written, last of all.
  if (!WriteExactlyAndFlush(toolState.headerBuffer + BODY_OFFSET, BODY_SIZE) ||
      !SyncCurrentFolder() || !OutputIsNamed(BACKUP_FILE_NAME)) {
    DiscardOutput(BACKUP_FILE_NAME);
    return MSG_WRITE_BACKUP;
  }
  return MSG_BACKUP_OK;
}

const char* RunRestore() {
  const char* const image = toolState.imageName;
  const char* failure = LoadImageHeader(image, true);
  if (failure) return failure;
  // The image stays open, and held, from its check to its write: the block
  // goes into the very bytes that were checked, and no one can come between.
  MoveInputToOutput();

  if (!OpenInput(BACKUP_FILE_NAME)) return MSG_OPEN_BACKUP;
  if (!ReadExactly(toolState.headerBuffer + BODY_OFFSET, BODY_SIZE)) return MSG_READ_BACKUP;
  CloseInput();

  // The image keeps its own lead-in; the checksum now covers the saved body.
  SealHeader(toolState.headerBuffer);
  if (!OutputIsNamed(image)) return MSG_OPEN_OUTPUT;
  if (!WriteExactlyAndFlush(toolState.headerBuffer, HEADER_SIZE) || !OutputIsNamed(image)) {
    return MSG_WRITE_OUTPUT;
  }
  return MSG_RESTORE_OK;
}
