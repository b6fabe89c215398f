// SPDX-License-Identifier: MIT
// Task stacks and the AddressSanitizer fiber glue around every switch between
// them.
#include "sched/stacks.h"

#include <cstdlib>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define VELKOR_SCHED_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELKOR_SCHED_ASAN 1
#endif
#endif
#if defined(VELKOR_SCHED_ASAN)
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#include <sanitizer/lsan_interface.h>
#endif

namespace velkor {
namespace sim {
namespace {

// A dropped stack may still carry AddressSanitizer's marks of the frames that
// were on it: they are cleared when it is taken again.
class StackPool {
 public:
  ~StackPool() {
    for (char* stack : free_) {
      std::free(stack);
    }
  }
  char* Take() {
    if (free_.empty()) {
      return static_cast<char*>(std::malloc(kStackSize));
    }
    char* stack = free_.back();
    free_.pop_back();
#if defined(VELKOR_SCHED_ASAN)
    ASAN_UNPOISON_MEMORY_REGION(stack, kStackSize);
#endif
    return stack;
  }
  void Give(char* stack) { free_.push_back(stack); }

 private:
  std::vector<char*> free_;
};

StackPool stacks;

// Where the scheduler's stack is, as a task's first switch reports it.
const void* schedulerStackBottom = nullptr;
std::size_t schedulerStackSize = 0;

void StartSwitch(void** fakeStackSave, const void* bottom, std::size_t size) {
#if defined(VELKOR_SCHED_ASAN)
  __sanitizer_start_switch_fiber(fakeStackSave, bottom, size);
#else
  (void)fakeStackSave;
  (void)bottom;
  (void)size;
#endif
}

void FinishSwitch(void* fakeStack, const void** oldBottom, std::size_t* oldSize) {
#if defined(VELKOR_SCHED_ASAN)
  __sanitizer_finish_switch_fiber(fakeStack, oldBottom, oldSize);
#else
  (void)fakeStack;
  (void)oldBottom;
  (void)oldSize;
#endif
}

}  // namespace

char* TakeStack() { return stacks.Take(); }

void GiveStack(char* stack) { stacks.Give(stack); }

void LeavingScheduler(void** schedulerFakeStack, const char* taskStack) {
  StartSwitch(schedulerFakeStack, taskStack, kStackSize);
}

void LeavingTask(void** fakeStack) {
  StartSwitch(fakeStack, schedulerStackBottom, schedulerStackSize);
}

void TaskBegins() { FinishSwitch(nullptr, &schedulerStackBottom, &schedulerStackSize); }

void SwitchedBack(void* fakeStack) { FinishSwitch(fakeStack, nullptr, nullptr); }

void IgnoreLeaks() {
#if defined(VELKOR_SCHED_ASAN)
  __lsan_disable();
#endif
}

void CountLeaksAgain() {
#if defined(VELKOR_SCHED_ASAN)
  __lsan_enable();
#endif
}

}  // namespace sim
}  // namespace velkor
