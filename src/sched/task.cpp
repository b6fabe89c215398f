// SPDX-License-Identifier: MIT
// The names of kernel calls and of task numbers, as traces and replay strings
// show them.
#include "sched/task.h"

#include <cstring>

namespace velkor {
namespace sim {

const char* CallName(Call call) {
  switch (call) {
    case Call::kBegin:
      return "begins";
    case Call::kMutexAcquire:
      return "MutexAcquire";
    case Call::kMutexRelease:
      return "MutexRelease";
    case Call::kHandleClose:
      return "HandleClose";
    case Call::kHandleDuplicate:
      return "HandleDuplicate";
    case Call::kThreadTerminate:
      return "ThreadTerminate";
    case Call::kThreadWait:
      return "ThreadWait";
    case Call::kThreadExitCode:
      return "ThreadExitCode";
    case Call::kSleep:
      return "SleepMilliseconds";
    case Call::kYield:
      return "Yield";
    case Call::kAnywhere:
      return "Anywhere";
    case Call::kSharedAccess:
      return "access";
    case Call::kFutexWait:
      return "FutexWait";
  }
  return "?";
}

char TaskCode(int index) { return kTaskCodes[index]; }

int TaskIndex(char code) {
  const char* at = code == '\0' ? nullptr : std::strchr(kTaskCodes, code);
  return at == nullptr ? -1 : static_cast<int>(at - kTaskCodes);
}

}  // namespace sim
}  // namespace velkor
