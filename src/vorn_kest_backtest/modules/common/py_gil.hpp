#pragma once
// Releasing the GIL for a wait on a thread that interpreter exit may find still waiting.
#include <nanobind/nanobind.h>

#include <chrono>
#include <thread>

namespace vkb::py {

namespace nb = nanobind;

inline bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

// Like nb::gil_scoped_release, except that a thread other than the main one coming back once the
// interpreter is finalizing never takes the GIL again: Python would end the thread inside this
// destructor, and that unwinding through a noexcept frame aborts the whole process ("terminate
// called without an active exception"). Such a thread sleeps until the process ends instead.
class ExitSafeGilRelease {
public:
    // Asks nothing of Python but the thread state: it also runs in destructors while the interpreter tears down.
    ExitSafeGilRelease()
        : main_(_PyOS_IsMainThread() != 0), state_(PyEval_SaveThread()) {}
    ~ExitSafeGilRelease() {
        if (!main_ && interpreter_finalizing())
            for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
        PyEval_RestoreThread(state_);
    }
    ExitSafeGilRelease(const ExitSafeGilRelease&) = delete;
    ExitSafeGilRelease& operator=(const ExitSafeGilRelease&) = delete;

private:
    bool main_;
    PyThreadState* state_;
};

}  // namespace vkb::py
