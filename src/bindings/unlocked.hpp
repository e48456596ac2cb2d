// The interpreter lock released around a computation, taken back in a way
// that survives the interpreter shutting down meanwhile.
//
// Before Python 3.14 a thread that asks for the lock once finalisation has
// begun (a daemon thread still computing when the main thread returns) is
// ended by PyThread_exit_thread, i.e. pthread_exit, which unwinds the thread's
// stack with a forced-unwind exception.  Raised from the destructor of
// py::gil_scoped_release, which is noexcept, it calls std::terminate and takes
// the whole process down at exit.  Letting it unwind further would be no
// better: the frames above release Python references, and the lock is not
// held.  So the thread stops here and sleeps until the process ends, which is
// what Python 3.14 does itself in that situation.
#pragma once

#include <chrono>
#include <thread>

#include <pybind11/pybind11.h>

namespace qorva::dsp::bindings {

class Unlocked {
public:
    // The lock must be held.
    Unlocked() : state_(PyEval_SaveThread()) {}
    ~Unlocked() { relock(state_); }
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;

private:
    static void relock(PyThreadState* state) noexcept {
        try {
            PyEval_RestoreThread(state);
        } catch (...) {
            // Only the forced unwind of pthread_exit comes out of this C
            // function (caught as "..." because it is not an object one could
            // bind a reference to).  The handler is never left: a forced
            // unwind must not be swallowed.
            for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
        }
    }

    PyThreadState* state_;
};

}  // namespace qorva::dsp::bindings
