// velkorthread: JMutex, a recursive lock over one operating-system mutex.
//
// The mutex has the operating system's semantics, all of which clients see:
//   - it is owned by the thread that acquired it;
//   - it is recursive: the owner may lock it again without blocking, and it is
//     free again only after as many unlocks;
//   - an unlock by a thread that does not own it has no effect;
//   - when the owner ends (returns or is terminated) while holding it, the mutex
//     is "abandoned": the next thread that locks it acquires it, and its Lock
//     succeeds.
//
// Lock, Unlock and IsInitialized may be called on one object from any number
// of threads at once. Construction, assignment and destruction must not overlap
// any other call on the same object.
#ifndef VELKORTHREAD_JMUTEX_H
#define VELKORTHREAD_JMUTEX_H

#if defined(_WIN32) || !defined(__GNUC__)
#define VELKORTHREAD_API
#else
#define VELKORTHREAD_API __attribute__((visibility("default")))
#endif

// Result codes of JMutex (0 is success). JThread has codes of its own, and the
// same number means something else there.
enum {
  MUTEX_ERR_ALREADY_INIT = -1,  // Init: the object already has its mutex
  MUTEX_ERR_NOT_INIT = -2,      // Lock, Unlock: the object has no mutex
  MUTEX_ERR_CREATE_FAILED = -3  // Init: the system refused to create it
};

class VELKORTHREAD_API JMutex {
 public:
  // Creates an unnamed operating-system mutex, owned by nobody. A failure is
  // silent: IsInitialized() then returns false and Lock/Unlock return -2.
  JMutex();

  // Each copy holds its own handle to the same operating-system mutex, so a
  // copy locks the same mutex as its source and destroying copies is safe.
  JMutex(const JMutex& other) : handle(0), initialized(false) { *this = other; }

  // Closes this object's handle. It neither waits for nor releases the mutex:
  // a mutex that a thread still holds is closed all the same.
  ~JMutex();

  // Makes this object refer to the same operating-system mutex as `other`
  // (through a handle of its own), closing the handle it held before.
  // Self-assignment leaves the object as it was.
  JMutex& operator=(const JMutex& other);

  // True while the object has its operating-system mutex. Takes no lock.
  bool IsInitialized();

  // Waits, without a time limit, until the calling thread owns the mutex.
  // Returns 0, or MUTEX_ERR_NOT_INIT (and does nothing) without a mutex.
  int Lock();

  // Gives back one level of the calling thread's ownership. Returns 0 (also
  // when the caller does not own it: nothing changes then), or
  // MUTEX_ERR_NOT_INIT without a mutex.
  int Unlock();

 private:
  // Creates the mutex if the object has none: 0, MUTEX_ERR_ALREADY_INIT (the
  // existing handle stays) or MUTEX_ERR_CREATE_FAILED. Nothing in the library
  // calls it; it is kept for binary compatibility.
  int Init();

  void* handle;      // the operating-system handle; null without a mutex
  bool initialized;  // true exactly when handle is non-null
};

#endif  // VELKORTHREAD_JMUTEX_H
