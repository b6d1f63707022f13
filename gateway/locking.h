// The gateway's lock: feedcommon's annotated mutex and its guard, checked by
// Clang's thread-safety analysis (scripts/thread_safety.sh).
#pragma once

#include "feedcommon/mutex.h"

namespace gateway {

using feedcommon::Mutex;
using feedcommon::MutexLock;

}  // namespace gateway
