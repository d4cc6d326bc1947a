#include "cli/command_line.h"

static const unsigned char SPACE = 0x20;

static bool IsLineEnd(unsigned char byte) { return byte < 0x20; }

// Clearing bits 5 and 7 folds lower case onto upper case, and also folds the
// bytes 0xC2/0xE2 onto 'B' and 0xD2/0xF2 onto 'R'; that is the letter match.
static RunMode ModeOfLetter(unsigned char byte) {
  switch (byte & 0x5F) {
    case 'B': return MODE_BACKUP;
    case 'R': return MODE_RESTORE;
    default: return MODE_NONE;
  }
}

RunMode ScanCommandLine(const char* line) {
  const unsigned char* cursor = reinterpret_cast<const unsigned char*>(line);
  toolState.imageName[0] = '\0';

  // Everything up to the first space is the program's name.
  while (!IsLineEnd(*cursor) && *cursor != SPACE) ++cursor;
  if (*cursor != SPACE) return MODE_NONE;
  ++cursor;

  // The leftmost letter followed by a space wins, whatever stands before it.
  RunMode mode = MODE_NONE;
  for (;; ++cursor) {
    if (IsLineEnd(*cursor)) return MODE_NONE;
    mode = ModeOfLetter(*cursor);
    if (mode != MODE_NONE && cursor[1] == SPACE) break;
  }
  cursor += 2;
  while (*cursor == SPACE) ++cursor;

  // The name runs to the end of the line, spaces and quotes included.
  int length = 0;
  while (!IsLineEnd(cursor[length])) {
    if (length == NAME_FIELD_SIZE - 1) {
      toolState.imageName[0] = '\0';
      return MODE_NAME_TOO_LONG;
    }
    toolState.imageName[length] = static_cast<char>(cursor[length]);
    ++length;
  }
  toolState.imageName[length] = '\0';
  return mode;
}

bool UnquoteName(char* name) {
  const bool quoted = *name == '"';
  char* close = name + quoted;
  while (*close && *close != '"') ++close;
  if (!quoted) return !*close;
  if (!*close) return false;  // never closed
  const char* rest = close + 1;
  while (*rest == ' ') ++rest;
  if (*rest) return false;  // text, or another mark, after the closing one
  for (const char* inside = name + 1; inside < close; ++inside) *name++ = *inside;
  *name = '\0';
  return true;
}
