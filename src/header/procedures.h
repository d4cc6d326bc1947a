// Backup and restore of a header body. Each procedure works on toolState:
// it expects the image name filled in, already settled by the run sequence,
// and both slots empty, and returns one outcome message (a constant text that
// starts with CR LF). It may leave files in either slot; the caller empties
// both afterwards.
#pragma once

extern const char BACKUP_FILE_NAME[];

// Checks the image's header block and saves its body to the backup file.
const char* RunBackup();

// Checks the image's header block, puts the saved body back into it, reseals
// the checksum and writes the block over the start of the image.
const char* RunRestore();
