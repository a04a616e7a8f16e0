// PerformanceTimer: a nanosecond stopwatch over time.perf_counter_ns(),
// read through the module global `time`.
#include "syncore.hpp"

namespace syncore {

PyTypeObject TimerType;

namespace {

struct TimerObject {
    PyObject_HEAD
    std::atomic<int64_t> start;  // several threads may use one timer
};

PyObject* timer_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    if (PyTuple_GET_SIZE(args) || (kwds && PyDict_GET_SIZE(kwds))) {
        PyErr_Format(PyExc_TypeError, "PerformanceTimer() takes no arguments");
        return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self) new (&reinterpret_cast<TimerObject*>(self)->start) std::atomic<int64_t>(0);
    return self;
}

PyObject* timer_start(PyObject* self, PyObject*) {
    kn::Ref now = globals.perf_counter_ns_object();
    int64_t v;
    if (!now || !kn::to_int64(now.get(), &v)) return nullptr;
    reinterpret_cast<TimerObject*>(self)->start.store(v, std::memory_order_relaxed);
    return kn::none();
}

PyObject* timer_elapsed_ns(PyObject* self, PyObject*) {
    kn::Ref now = globals.perf_counter_ns_object();
    if (!now) return nullptr;
    kn::Ref start = kn::Ref::steal(PyLong_FromLongLong(
        reinterpret_cast<TimerObject*>(self)->start.load(std::memory_order_relaxed)));
    if (!start) return nullptr;
    return PyNumber_Subtract(now.get(), start.get());
}

PyObject* elapsed_scaled(PyObject* self, double divisor) {
    kn::Ref ns = kn::Ref::steal(call_method(s_elapsed_ns, self));
    if (!ns) return nullptr;
    kn::Ref d = kn::Ref::steal(PyFloat_FromDouble(divisor));
    return d ? PyNumber_TrueDivide(ns.get(), d.get()) : nullptr;
}

PyObject* timer_elapsed_us(PyObject* self, PyObject*) { return elapsed_scaled(self, 1000.0); }
PyObject* timer_elapsed_ms(PyObject* self, PyObject*) { return elapsed_scaled(self, 1000000.0); }

PyMethodDef timer_methods[] = {
    kn::def<timer_start>("start", "start($self, /)\n--\n\nStarts (or restarts) the stopwatch."),
    kn::def<timer_elapsed_ns>("elapsed_ns",
                              "elapsed_ns($self, /)\n--\n\nNanoseconds since start()."),
    kn::def<timer_elapsed_us>("elapsed_us",
                              "elapsed_us($self, /)\n--\n\nMicroseconds since start()."),
    kn::def<timer_elapsed_ms>("elapsed_ms",
                              "elapsed_ms($self, /)\n--\n\nMilliseconds since start()."),
    KN_NO_PICKLE,
    kn::kEndOfMethods,
};

}  // namespace

bool ready_timer_type() {
    return kn::ready_type_once(TimerType, [](PyTypeObject& t) {
        t = kn::static_type<timer_new>(
            "kestrun.memory.syncore.PerformanceTimer", sizeof(TimerObject),
            "PerformanceTimer()\n--\n\nNanosecond stopwatch over time.perf_counter_ns().",
            timer_methods, false);
    });
}

}  // namespace syncore
