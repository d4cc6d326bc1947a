#include "common/tool_state.h"

ToolState toolState;
