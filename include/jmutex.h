// SPDX-License-Identifier: MIT
/// \file jmutex.h
/// \brief JMutex, a recursive lock over one operating-system mutex, and its
/// result codes.
#ifndef VELKORTHREAD_JMUTEX_H
#define VELKORTHREAD_JMUTEX_H

/// \def VELKORTHREAD_API
/// \brief Marks the classes the library exports. On Linux (GCC and Clang) it
/// gives them default visibility, since the library is built with hidden
/// visibility; on Windows the DLL's module-definition file names the exports,
/// so it is empty there.
#if defined(_WIN32) || !defined(__GNUC__)
#define VELKORTHREAD_API
#else
#define VELKORTHREAD_API __attribute__((visibility("default")))
#endif

/// \brief Result codes of JMutex (0 is success).
///
/// JThread has codes of its own, and the same number means something else
/// there: -1 from JMutex is #MUTEX_ERR_ALREADY_INIT, -1 from JThread is
/// #THREAD_ERR_MUTEX_NOT_INIT.
enum {
  MUTEX_ERR_ALREADY_INIT = -1,  ///< `Init` (private): the object already has its mutex
  MUTEX_ERR_NOT_INIT = -2,      ///< JMutex::Lock, JMutex::Unlock: the object has no mutex
  MUTEX_ERR_CREATE_FAILED = -3  ///< `Init` (private): the system refused to create it
};

/// \brief A recursive lock over one operating-system mutex.
///
/// The mutex has the operating system's semantics, all of which clients see:
///   - it is owned by the thread that acquired it;
///   - it is recursive: the owner may lock it again without blocking, and it
///     is free again only after as many unlocks;
///   - an unlock by a thread that does not own it has no effect;
///   - when the owner ends (returns or is terminated) while holding it, the
///     mutex is *abandoned*: the next thread that locks it acquires it, and
///     its Lock() succeeds.
///
/// \code
/// JMutex guard;
/// if (guard.Lock() == 0) {
///   // ... only one thread at a time runs here ...
///   guard.Unlock();
/// }
/// \endcode
///
/// <b>Result codes</b> (every operation that can fail returns a plain `int`):
///
/// | code | name                     | returned by              | meaning                    |
/// |------|--------------------------|--------------------------|----------------------------|
/// |  0   | -                        | Lock(), Unlock(), `Init` | success                    |
/// | -1   | #MUTEX_ERR_ALREADY_INIT  | `Init` (private)         | the object has its mutex   |
/// | -2   | #MUTEX_ERR_NOT_INIT      | Lock(), Unlock()         | the object has no mutex    |
/// | -3   | #MUTEX_ERR_CREATE_FAILED | `Init` (private)         | the system refused a mutex |
///
/// `Init` is private and called by nothing: it is kept for binary
/// compatibility, so no call a client can make returns -1 or -3.
/// A failed wait or an unlock by a thread that is not the owner is not
/// reported: Lock() and Unlock() return 0 whenever the object has its mutex.
///
/// <b>Rules for callers</b>
///   - Lock(), Unlock() and IsInitialized() may be called on one object from
///     any number of threads at once.
///   - Construction, assignment and destruction must not overlap any other
///     call on the same object.
class VELKORTHREAD_API JMutex {
 public:
  /// \brief Creates an unnamed operating-system mutex, owned by nobody.
  ///
  /// A failure is silent: IsInitialized() then returns false and Lock() and
  /// Unlock() return #MUTEX_ERR_NOT_INIT.
  JMutex();

  /// \brief Makes a copy that locks the same operating-system mutex as
  /// `other`.
  ///
  /// Each copy holds its own handle to the mutex, so destroying copies in any
  /// order is safe. If `other` has no mutex, or the system refuses a new
  /// handle, the copy has none: IsInitialized() is false.
  /// \param other the object to copy.
  JMutex(const JMutex& other) : handle(0), initialized(false) { *this = other; }

  /// \brief Closes this object's handle.
  ///
  /// It neither waits for nor releases the mutex: a mutex that a thread still
  /// holds is closed all the same.
  ~JMutex();

  /// \brief Makes this object refer to the same operating-system mutex as
  /// `other`, through a handle of its own.
  ///
  /// The handle this object held before is closed. If `other` has no mutex,
  /// or the system refuses a new handle, this object has none afterwards.
  /// Self-assignment leaves the object as it was.
  /// \param other the object to copy.
  /// \return this object.
  JMutex& operator=(const JMutex& other);

  /// \brief Whether the object has its operating-system mutex.
  ///
  /// Takes no lock and calls nothing.
  /// \return true while the object has its mutex; false if its creation failed.
  bool IsInitialized();

  /// \brief Waits, without a time limit, until the calling thread owns the
  /// mutex.
  ///
  /// The owner may lock again without blocking; each Lock() needs its own
  /// Unlock(). A mutex whose owner ended while holding it is acquired by the
  /// next caller, and that call succeeds.
  /// \return 0 once the caller owns the mutex, or #MUTEX_ERR_NOT_INIT (doing
  /// nothing) when the object has no mutex.
  int Lock();

  /// \brief Gives back one level of the calling thread's ownership.
  ///
  /// The mutex is free once its owner has unlocked it as often as it locked
  /// it. An unlock by a thread that does not own the mutex changes nothing.
  /// \return 0 (also when the caller does not own the mutex), or
  /// #MUTEX_ERR_NOT_INIT when the object has no mutex.
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
