// SPDX-License-Identifier: MIT
// A first thread: derive from JThread, implement Run(), Start() it, wait for
// the body to end and read what it returned. The reference pages show the
// part between the two "first thread" marks, so that what readers copy is
// code that builds and runs.
// [first thread]
#include <jthread.h>
#include <stdio.h>

class Squarer : public JThread {
 public:
  explicit Squarer(long n) : n_(n), result_(0) {}

 protected:
  void* Run() {
    ThreadStarted();  // Start() may return now; the body goes on
    result_ = n_ * n_;
    return &result_;  // what GetReturnValue() gives once the body has returned
  }

 private:
  long n_;
  long result_;
};

int main() {
  Squarer squarer(12);
  if (squarer.Start() != 0) {
    return 1;  // a code from the THREAD_ERR_... table
  }
  while (squarer.IsRunning()) {
    // the caller is free to do other work here
  }
  long* square = static_cast<long*>(squarer.GetReturnValue());
  printf("12 squared is %ld\n", *square);
  return *square == 144 ? 0 : 1;
}
// [first thread]
