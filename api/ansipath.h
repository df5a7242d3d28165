// ANSI paths of the "A" entry points, converted to the UTF-16 the core takes.
#pragma once

#include <cstdint>

#include "platform/system.h"

namespace api {

// The zero-terminated path in the system ANSI code page (UTF-8 on Linux) as
// UTF-16: PLAY_OK; PLAY_E_INVALID_VALUE for a null or unconvertible path
// (an empty path converts to an empty one); PLAY_E_OUT_OF_MEMORY when the copy cannot be made.
int32_t AnsiPathToWide(const char *szPath, platform::WString &out);

} // namespace api
