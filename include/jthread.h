// velkorthread: JThread, an abstract thread class.
//
// Derive from JThread and implement Run(), the body. Each successful Start()
// runs the body once on a new operating-system thread:
//
//   class Worker : public JThread {
//    public:
//     void* Run() override {
//       ThreadStarted();  // lets Start() return; the body goes on
//       ...
//       return result;
//     }
//   };
//
// Start() returns only once the new thread runs and its body has either called
// ThreadStarted() or the thread has already ended. Until the body calls
// ThreadStarted(), it must not wait for the thread that called Start().
//
// Rules for callers:
//   - Start() must not be called on one object from two threads at once, and
//     Kill() or destruction must not overlap a Start() of the same object.
//   - The body must not Kill() or destroy its own object. It may call
//     IsRunning() (true), GetReturnValue() (null) and Start() (-5).
//   - Forced termination (Kill(), or destroying an object whose thread runs)
//     ends the thread wherever it is: no destructors, no unwinding, no cleanup.
//     Mutexes it owns become abandoned (see jmutex.h). A thread killed while
//     inside the C or C++ runtime (allocating memory, writing to a stream, ...)
//     can leave the runtime's own locks held for good, exactly as the Windows
//     documentation of TerminateThread warns. Kill only bodies that are known
//     to be in code of their own, or waiting on JMutex objects. On Linux a
//     thread is terminated with the real-time signal SIGRTMIN+6: bodies must
//     not block it, and clients must not install a handler for it once the
//     library has started a thread. Only the library's own kills end a
//     thread: the signal sent by another process (kill, sigqueue), or by
//     client code to any thread (pthread_kill), ends none; it goes to the
//     handler that was installed for it before the library's first thread,
//     if there was one, and is otherwise ignored.
//   - A derived class's destructor runs before ~JThread() terminates the
//     thread: stop (or Kill) the thread first if the body uses derived members.
//   - Copies of a JThread hold handles of their own to the same thread and
//     mutexes. A copy's IsRunning() and GetReturnValue() are a snapshot taken
//     when it was copied; no thread updates them. A copy whose snapshot says
//     "running" terminates the source's thread on Kill() or destruction.
#ifndef VELKORTHREAD_JTHREAD_H
#define VELKORTHREAD_JTHREAD_H

#include "jmutex.h"

#if defined(_WIN32)
// The system's thread-entry form: DWORD (unsigned long, 32 bits) with the
// __stdcall convention (which only matters on 32-bit x86).
typedef unsigned long JThreadUInt32;
#define VELKORTHREAD_ENTRY_CALL __stdcall
#else
typedef unsigned int JThreadUInt32;
#define VELKORTHREAD_ENTRY_CALL
#endif

// Result codes of JThread (0 is success; no JThread operation returns -3).
enum {
  THREAD_ERR_MUTEX_NOT_INIT = -1,  // Start: a member mutex is missing
  THREAD_ERR_CREATE_FAILED = -2,   // Start: the system refused the thread
  THREAD_ERR_NOT_RUNNING = -4,     // Kill: no thread of this object runs
  THREAD_ERR_ALREADY_RUNNING = -5  // Start: a thread of this object runs
};

class VELKORTHREAD_API JThread {
 public:
  // Constructs the three member mutexes. A mutex the system refused to create
  // is not reported here: every Start() returns THREAD_ERR_MUTEX_NOT_INIT.
  JThread();

  // A snapshot of `other` that refers to the same thread and mutexes through
  // handles of its own (see the notes above).
  JThread(const JThread& other);

  // Terminates a thread of this object that still runs (waiting until it is
  // gone), then releases the thread handle and destroys the mutexes.
  virtual ~JThread();

  // Copies the same fields as the copy constructor; the target's handles are
  // released first.
  JThread& operator=(const JThread& other);

  // Starts the body on a new thread and returns 0 once the body has called
  // ThreadStarted() or its thread has ended. Otherwise:
  //   THREAD_ERR_MUTEX_NOT_INIT   a member mutex is missing;
  //   THREAD_ERR_ALREADY_RUNNING  a thread of this object runs (nothing changes);
  //   THREAD_ERR_CREATE_FAILED    the system refused to create the thread.
  // Waiting for the new thread to mark itself started is a poll that sleeps
  // one millisecond between looks.
  int Start();

  // Terminates the running thread and returns 0 once it is gone; IsRunning()
  // is false from then on and GetReturnValue() gives the result of the last
  // run whose body returned (a result the killed run had not stored is lost).
  // THREAD_ERR_NOT_RUNNING if no thread of this object runs.
  int Kill();

  // True from the moment the new thread marks itself started until its body
  // has returned or it has been killed.
  bool IsRunning();

  // What the body last returned, or null while a thread of this object runs.
  void* GetReturnValue();

 protected:
  // For the body: tells the pending Start() that the body has begun. Has an
  // effect only on the object's own thread, once per run.
  void ThreadStarted();

  // The body. Its result becomes GetReturnValue()'s once it returns.
  virtual void* Run() = 0;

 private:
  // The routine the system runs on the new thread, with the object as its
  // parameter; its exit code is always 0.
  static JThreadUInt32 VELKORTHREAD_ENTRY_CALL TheThread(void* param);

  void* threadHandle;      // the thread most recently created by Start()
  JThreadUInt32 threadId;  // its system identifier (never read here)
  void* returnValue;       // guarded by stateMutex
  bool running;            // guarded by stateMutex
  bool mutexesChecked;     // set once Start() found all three mutexes
  JMutex stateMutex;       // guards running and returnValue
  JMutex launchMutex;      // held by Start() until it has seen `running`
  JMutex startedMutex;     // held by the new thread until ThreadStarted()
};

#endif  // VELKORTHREAD_JTHREAD_H
