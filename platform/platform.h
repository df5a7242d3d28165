// The operating-system services the library relies on, behind one interface;
// win32/ and posix/ implement it.
#pragma once

#include "platform/cpuload.h"
#include "platform/file.h"
#include "platform/memory.h"
#include "platform/shared.h"
#include "platform/sync.h"
#include "platform/system.h"
#include "platform/thread.h"
#include "platform/timers.h"
