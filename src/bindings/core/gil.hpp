#pragma once
// Interpreter-lock helpers.
//
// Methods run with the interpreter lock held. A method that waits on another
// native thread that may itself need the lock (the control loop forwards its
// log records to Python) must release it for the wait:
//
//   {
//     py::ReleaseGil unlocked;     // no Python API and no PyRef use in here
//     loop.join();
//   }                              // lock taken back here

#include "bindings/core/python.hpp"

namespace velmora::py {

namespace detail {
// PyEval_RestoreThread, except once interpreter exit has begun: see
// close_lock_for_exit().
void restore_thread(PyThreadState* state) noexcept;
}  // namespace detail

// Releases the interpreter lock for its lifetime (Py_BEGIN/END_ALLOW_THREADS).
class ReleaseGil {
 public:
  ReleaseGil() noexcept : state_(PyEval_SaveThread()) {}
  ~ReleaseGil() { detail::restore_thread(state_); }
  ReleaseGil(const ReleaseGil&) = delete;
  ReleaseGil& operator=(const ReleaseGil&) = delete;

 private:
  PyThreadState* state_;
};

// From interpreter exit processing, on the exiting thread, holding the lock,
// after the exit hooks have joined the module's threads (before finalisation
// begins). A thread that takes the lock back once
// finalisation has begun is ended by the interpreter with an unwind that no
// C++ frame may see (it aborts at the first noexcept one). So from here on
// any other thread leaving a ReleaseGil scope sleeps until the process ends
// instead; threads already taking the lock back get it first.
void close_lock_for_exit();

// Takes the interpreter lock from any thread (PyGILState_Ensure/Release).
// Never use it after the interpreter began finalising: the thread would be
// killed or blocked for good. The log bridge checks that for its own use.
class EnsureGil {
 public:
  EnsureGil() noexcept : state_(PyGILState_Ensure()) {}
  ~EnsureGil() { PyGILState_Release(state_); }
  EnsureGil(const EnsureGil&) = delete;
  EnsureGil& operator=(const EnsureGil&) = delete;

 private:
  PyGILState_STATE state_;
};

}  // namespace velmora::py
