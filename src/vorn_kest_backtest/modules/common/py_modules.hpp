#pragma once
// Modules looked up at the moment of use, under the GIL, with nothing cached across calls: a
// failed import raises its own exception every time, and no C++ static guard is held while an
// import may release the GIL (another thread waiting on that guard would deadlock).
#include <nanobind/nanobind.h>

#include <atomic>

namespace vkb::py {

// sys.modules first: the full import machinery costs more than the lookup it serves. A module
// entry set to None goes through the import machinery, which raises the ImportError.
inline nanobind::object loaded_module(const char* dotted) {
    PyObject* name = PyUnicode_InternFromString(dotted);
    if (name == nullptr) throw nanobind::python_error();
    PyObject* module = PyImport_GetModule(name);
    Py_DECREF(name);
    if (module != nullptr && module != Py_None) return nanobind::steal(module);
    Py_XDECREF(module);
    if (PyErr_Occurred()) throw nanobind::python_error();
    return nanobind::module_::import_(dotted);
}

// Once-made process-wide values without a lock: racing threads may both build, the first to
// publish wins and the others drop theirs. A build that throws publishes nothing.
template <typename T, typename Make>
const T& published_once(std::atomic<const T*>& slot, Make make) {
    if (const T* ready = slot.load(std::memory_order_acquire)) return *ready;
    const T* fresh = new T(make());
    const T* expected = nullptr;
    if (!slot.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) {
        delete fresh;
        return *expected;
    }
    return *fresh;
}

}  // namespace vkb::py
