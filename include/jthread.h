// SPDX-License-Identifier: MIT
/// \file jthread.h
/// \brief JThread, an abstract thread class, and its result codes.
#ifndef VELKORTHREAD_JTHREAD_H
#define VELKORTHREAD_JTHREAD_H

#include "jmutex.h"

/// \typedef JThreadUInt32
/// \brief The 32-bit unsigned type of a thread's system identifier and of the
/// thread routine's exit code: `unsigned long` (the system's DWORD) on
/// Windows, `unsigned int` elsewhere.
///
/// \def VELKORTHREAD_ENTRY_CALL
/// \brief The calling convention of the thread routine: `__stdcall` on
/// Windows (where it matters only on 32-bit x86), none elsewhere.
#if defined(_WIN32)
// The system's thread-entry form: DWORD (unsigned long, 32 bits) with the
// __stdcall convention (which only matters on 32-bit x86).
typedef unsigned long JThreadUInt32;
#define VELKORTHREAD_ENTRY_CALL __stdcall
#else
typedef unsigned int JThreadUInt32;
#define VELKORTHREAD_ENTRY_CALL
#endif

/// \brief Result codes of JThread (0 is success; no JThread operation
/// returns -3).
///
/// JMutex has codes of its own, and the same number means something else
/// there.
enum {
  THREAD_ERR_MUTEX_NOT_INIT = -1,  ///< JThread::Start: a member mutex is missing
  THREAD_ERR_CREATE_FAILED = -2,   ///< JThread::Start: the system refused the thread
  THREAD_ERR_NOT_RUNNING = -4,     ///< JThread::Kill: no thread of this object runs
  THREAD_ERR_ALREADY_RUNNING = -5  ///< JThread::Start: a thread of this object runs
};

/// \brief An abstract thread class: each successful Start() runs the body,
/// Run(), once on a new operating-system thread.
///
/// Derive from JThread and implement Run(). Start() returns only once the
/// new thread runs and its body has either called ThreadStarted() or the
/// thread has already ended. While the thread runs, any thread may ask
/// IsRunning(); once the body has returned, GetReturnValue() gives what it
/// returned. Kill() terminates the thread. An object may be started again
/// once its thread has ended or been killed.
///
/// <b>A first thread</b>
/// \snippet first_thread.cpp first thread
///
/// <b>Result codes</b> (every operation that can fail returns a plain `int`):
///
/// | code | name                        | returned by     | meaning                           |
/// |------|-----------------------------|-----------------|-----------------------------------|
/// |  0   | -                           | Start(), Kill() | success                           |
/// | -1   | #THREAD_ERR_MUTEX_NOT_INIT  | Start()         | a member mutex is missing         |
/// | -2   | #THREAD_ERR_CREATE_FAILED   | Start()         | the system refused the thread     |
/// | -4   | #THREAD_ERR_NOT_RUNNING     | Kill()          | no thread of this object runs     |
/// | -5   | #THREAD_ERR_ALREADY_RUNNING | Start()         | a thread of this object runs      |
///
/// A refused Start() or Kill() changes nothing. A member mutex is missing when
/// the system refused to create it in the constructor.
///
/// No JThread operation returns -3. The numbers are not those of JMutex:
/// -1 from JMutex is #MUTEX_ERR_ALREADY_INIT.
///
/// <b>Calls from several threads</b>
///   - Start() called on one object from several threads at once starts one
///     thread: the other calls wait until it runs and return
///     #THREAD_ERR_ALREADY_RUNNING, or, if its body has already ended by then,
///     start the next run, as a call made a moment later would.
///   - A Kill() that overlaps a Start() of the same object waits until the new
///     thread runs and then ends it; that Start() returns 0, as for a body
///     that ends before it signals.
///   - The body may Kill() its own object: its thread ends inside that call,
///     as if another thread had killed it (its result is not stored, a Start()
///     still waiting for its signal returns 0, and the object may be started
///     again). It may also call IsRunning() (true), GetReturnValue() (null)
///     and Start() (#THREAD_ERR_ALREADY_RUNNING).
///
/// <b>Rules for callers</b>, and what breaking each one does:
///   - Until the body calls ThreadStarted(), it must not wait for the thread
///     that called Start(): that thread is still inside Start(). If it does,
///     the two wait for each other for good, unless another thread Kill()s
///     the body (Start() then returns 0).
///   - No thread may be inside a member of an object (Start() included) while
///     another thread destroys it, and the body must not destroy its own
///     object. The member would go on using mutexes and memory that are gone:
///     the behaviour is undefined (a crash, a hang or a wrong result). A body
///     that destroys its own object ends inside the destructor, which never
///     finishes: the object's mutexes and handle are never released, a
///     `delete` never frees its memory, and its owner may destroy it twice.
///   - Forced termination (Kill(), or destroying an object whose thread runs)
///     ends the thread wherever it is: no destructors, no unwinding, no
///     cleanup. Mutexes it owns become abandoned (see JMutex). A thread killed
///     while inside the C or C++ runtime (allocating memory, writing to a
///     stream, ...) can leave the runtime's own locks held for good, exactly
///     as the Windows documentation of TerminateThread warns: any thread that
///     then needs them (to allocate, to print, ...) waits for good. Kill only
///     bodies that are known to be in code of their own, or waiting on JMutex
///     objects; a thread killed inside a member of a JThread (a body inside
///     another object's Start(), say) may leave that object unusable.
///   - On Linux a thread is terminated with the real-time signal SIGRTMIN+6:
///     bodies must not block it nor wait for it (`sigwait` and the like take
///     it before it can act): a thread that cannot receive it cannot be
///     ended, and Kill() then waits for good. Clients must not install a
///     handler for it once the library has started a thread. Only the library's own kills
///     end a thread: the signal sent by another process (`kill`, `sigqueue`),
///     or by client code to any thread (`pthread_kill`), ends none; it goes to
///     the handler that was installed for it before the library's first
///     thread, if there was one, and is otherwise ignored.
///   - A derived class's destructor runs before ~JThread() terminates the
///     thread: stop (or Kill()) the thread first if the body uses derived
///     members; otherwise the body goes on using destroyed members, with
///     undefined behaviour.
///   - Copies of a JThread hold handles of their own to the same thread and
///     mutexes. A copy's IsRunning() and GetReturnValue() are a snapshot taken
///     when it was copied; no thread updates them. A copy whose snapshot says
///     "running" terminates the source's thread on Kill() or destruction.
class VELKORTHREAD_API JThread {
 public:
  /// \brief Constructs the three member mutexes; no thread is started.
  ///
  /// A mutex the system refused to create is not reported here: every
  /// Start() then returns #THREAD_ERR_MUTEX_NOT_INIT.
  JThread();

  /// \brief A snapshot of `other` that refers to the same thread and mutexes
  /// through handles of its own.
  ///
  /// See the rules for copies above: the snapshot's running state and return
  /// value are not updated by any thread.
  /// \param other the object to copy.
  JThread(const JThread& other);

  /// \brief Terminates a thread of this object that still runs, then releases
  /// the thread handle and destroys the mutexes.
  ///
  /// The termination is forced, as by Kill(), and the destructor waits until
  /// the thread is gone. By then the derived class's destructor has already
  /// run.
  virtual ~JThread();

  /// \brief Copies the same fields as the copy constructor.
  ///
  /// The handles this object held before are released first.
  /// \param other the object to copy.
  /// \return this object.
  JThread& operator=(const JThread& other);

  /// \brief Starts the body, Run(), on a new thread.
  ///
  /// Returns once the new thread runs and its body has called
  /// ThreadStarted(), or its thread has already ended. Waiting for the new
  /// thread to mark itself started is a poll that sleeps one millisecond
  /// between looks. See above for calls from several threads at once.
  /// \retval 0 the thread runs (or has already run to its end).
  /// \retval THREAD_ERR_MUTEX_NOT_INIT a member mutex is missing.
  /// \retval THREAD_ERR_ALREADY_RUNNING a thread of this object runs; nothing
  /// changes.
  /// \retval THREAD_ERR_CREATE_FAILED the system refused to create the thread.
  int Start();

  /// \brief Terminates the running thread of this object, wherever it is.
  ///
  /// Returns once the thread is gone; IsRunning() is false from then on and
  /// GetReturnValue() gives the result of the last run whose body returned
  /// (a result the killed run had not stored is lost). A Start() that is
  /// launching a thread is waited for, and that thread ended. Called by the
  /// object's own body, it ends the calling thread and does not return. See
  /// the rules for callers on what a killed thread leaves behind.
  /// \retval 0 the thread is gone (also when the object's mutexes are
  /// missing, so that no thread can have been started).
  /// \retval THREAD_ERR_NOT_RUNNING no thread of this object runs.
  int Kill();

  /// \brief Whether a thread of this object runs.
  /// \return true from the moment the new thread marks itself started until
  /// its body has returned or it has been killed.
  bool IsRunning();

  /// \brief What the body returned.
  /// \return the value the body last returned, or null while a thread of this
  /// object runs (and before any run has ended).
  void* GetReturnValue();

 protected:
  /// \brief For the body: tells the pending Start() that the body has begun.
  ///
  /// Start() returns once the body has called it. It has an effect only on
  /// the object's own thread, once per run; a body that never calls it makes
  /// Start() return when the body ends.
  void ThreadStarted();

  /// \brief The body, implemented by the derived class; runs on the new
  /// thread.
  ///
  /// It should call ThreadStarted() as soon as Start() may return.
  /// \return the result that GetReturnValue() gives once the body has
  /// returned.
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
  JMutex launchMutex;      // held by Start() until it has seen `running`, and by Kill()
  JMutex startedMutex;     // held by the new thread until ThreadStarted()
};

#endif  // VELKORTHREAD_JTHREAD_H
