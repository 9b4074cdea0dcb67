#pragma once
// A queue.Queue look-alike over C++ storage. Every wait releases the GIL; an empty get raises
// queue.Empty like the standard queue. Bound once, for every queue the modules hand out.
#include <nanobind/nanobind.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <optional>
#include <utility>

#include "py_gil.hpp"
#include "vkb/blocking_queue.hpp"

namespace vkb::py {

namespace nb = nanobind;

using QueueDeadline = std::optional<std::chrono::steady_clock::time_point>;

inline bool on_main_thread() {
    nb::object main = nb::module_::import_("threading").attr("main_thread")();
    return nb::cast<unsigned long>(main.attr("ident")) == PyThread_get_thread_ident();
}

// Runs wait(deadline) -> bool with the GIL released. On the main thread the wait is cut into
// slices so Ctrl-C still interrupts it; other threads sleep in one piece (waking them while the
// interpreter exits would make them take a GIL that is going away).
template <class Wait>
bool wait_without_gil(Wait&& wait, QueueDeadline deadline) {
    if (!on_main_thread()) {
        ExitSafeGilRelease unlocked;
        return wait(deadline);
    }
    constexpr auto slice = std::chrono::milliseconds(100);
    for (;;) {
        auto until = std::chrono::steady_clock::now() + slice;
        if (deadline && *deadline < until) until = *deadline;
        bool got;
        {
            ExitSafeGilRelease unlocked;
            got = wait(QueueDeadline(until));
        }
        if (got) return true;
        if (PyErr_CheckSignals() != 0) throw nb::python_error();
        if (deadline && std::chrono::steady_clock::now() >= *deadline) return false;
    }
}

// Storage behind a bound queue. get_item is called with the GIL held and releases it to wait.
class QueueBackend {
public:
    virtual ~QueueBackend() = default;
    virtual std::size_t size() = 0;
    // Returns a null object when nothing came before the deadline (or at once when !block).
    virtual nb::object get_item(bool block, QueueDeadline deadline) = 0;
    virtual void put_item(nb::object item) = 0;
};

// Plain object FIFO.
class ObjectQueueBackend final : public QueueBackend {
public:
    ~ObjectQueueBackend() override = default;
    std::size_t size() override { return items_.size(); }

    nb::object get_item(bool block, QueueDeadline deadline) override {
        nb::object out;
        if (items_.try_pop(out) || !block) return out;
        wait_without_gil([&](QueueDeadline until) { return items_.wait_pop(out, until); }, deadline);
        return out;
    }

    void put_item(nb::object item) override { items_.push(std::move(item)); }

private:
    BlockingQueue<nb::object> items_;
};

inline QueueDeadline deadline_from(const nb::object& timeout) {
    if (timeout.is_none()) return std::nullopt;
    const double seconds = nb::cast<double>(timeout);
    if (seconds < 0 || std::isnan(seconds)) throw nb::value_error("'timeout' must be a non-negative number");
    return std::chrono::steady_clock::now() +
           std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
}

[[noreturn]] inline void raise_queue_empty() {
    nb::object empty = nb::module_::import_("queue").attr("Empty");
    PyErr_SetNone(empty.ptr());
    throw nb::python_error();
}

class Queue {
public:
    explicit Queue(std::shared_ptr<QueueBackend> backend) : backend_(std::move(backend)) {}

    std::size_t qsize() const { return backend_->size(); }
    bool empty() const { return backend_->size() == 0; }

    nb::object get(bool block, const nb::object& timeout) {
        const QueueDeadline deadline = block ? deadline_from(timeout) : std::nullopt;
        nb::object item = backend_->get_item(block, deadline);
        if (!item.is_valid()) raise_queue_empty();
        return item;
    }

    void put(nb::object item) { backend_->put_item(std::move(item)); }

private:
    std::shared_ptr<QueueBackend> backend_;
};

inline void bind_queue(nb::module_& m, const char* name) {
    using Q = Queue;
    nb::class_<Q>(m, name, "無上限的先進先出佇列 (與 queue.Queue 相同的方法)")
        .def(nb::new_([] { return Q(std::make_shared<ObjectQueueBackend>()); }))
        .def("qsize", &Q::qsize, "佇列中的項目數")
        .def("empty", &Q::empty, "佇列是否為空")
        .def("get", &Q::get, nb::arg("block") = true, nb::arg("timeout") = nb::none(),
             "取出下一個項目; 逾時或不等待且為空時引發 queue.Empty")
        .def("get_nowait", [](Q& q) { return q.get(false, nb::none()); }, "不等待地取出下一個項目")
        .def("put", [](Q& q, nb::object item, bool, const nb::object&) { q.put(std::move(item)); },
             nb::arg("item"), nb::arg("block") = true, nb::arg("timeout") = nb::none(), "放入一個項目 (不會阻塞)")
        .def("put_nowait", [](Q& q, nb::object item) { q.put(std::move(item)); }, nb::arg("item"), "放入一個項目");
}

}  // namespace vkb::py
