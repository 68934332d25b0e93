// job_lane: named background tasks on the host's event loop, at most
// `max_concurrency` running at once, each optionally waiting for one named
// predecessor before it asks for a unit of the lane's semaphore.
//
// The native objects that do the work:
// - JobLane (a nanobind class) keeps the semaphore and the map of tracked
//   tasks and creates one task per submission;
// - _Job, the body of each task, is a coroutine-protocol object (send, throw,
//   close, __await__, plus am_send for the event loop's fast path). It goes
//   through three waits in turn, passing values, exceptions and cancellations
//   as `yield from` would: the wait for the predecessor, the wait for a unit,
//   and the submitted coroutine;
// - _PredecessorWait is the future-like object a dependant's task parks on
//   while its predecessor runs (cancelling it never cancels the predecessor);
// - _WaitAll is what wait_all() hands back.
#include <nanobind/nanobind.h>

#include <atomic>
#include <cstdint>

#include "common/py.hpp"

namespace nb = nanobind;
using namespace nb::literals;
namespace sp = sorvel::py;

namespace {

// --- module-level objects, set once while the module loads -------------------

struct Names {
    PyObject *add_done_callback, *remove_done_callback, *cancel, *cancelled, *close,
        *create_task, *done, *get_coro, *get_name, *release, *result, *throw_, *value,
        *waiters, *acquire, *task, *task_factory, *thread_id, *get_loop, *call_soon;
    PyObject *name_kw, *timeout_kw, *loop_name_kw, *context_kw;  // keyword-name tuples
};
Names g_names{};
PyObject *g_cancelled_error = nullptr;   // asyncio.CancelledError
PyObject *g_semaphore = nullptr;         // asyncio.Semaphore
PyObject *g_iscoroutine = nullptr;       // asyncio.iscoroutine
PyObject *g_wait = nullptr;              // asyncio.wait
PyObject *g_running_loop = nullptr;      // asyncio.events._get_running_loop
PyObject *g_tasks_module = nullptr;      // asyncio.tasks (its Task is read at each use)
PyObject *g_base_create_task = nullptr;  // asyncio.BaseEventLoop.create_task
PyTypeObject *g_job_type = nullptr;
PyTypeObject *g_task_type = nullptr;     // asyncio.Task as loaded
PyObject *g_task_get_name = nullptr;     // asyncio.Task.get_name
PyObject *g_task_get_coro = nullptr;     // asyncio.Task.get_coro
PyObject *g_coro_close = nullptr;        // types.CoroutineType.close
PyObject *g_zero = nullptr;
PyTypeObject *g_wait_type = nullptr;

// --- exceptions ----------------------------------------------------------------

// The pending exception as a normalised instance (new reference); an error
// must be set.
PyObject *fetch_exc() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
#endif
}

// Makes `exc` (stolen) the pending exception, without implicit chaining.
void restore_exc(PyObject *exc) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject *>(Py_TYPE(exc))), exc,
                  PyException_GetTraceback(exc));
#endif
}

// After a call failed: when the error is StopIteration, takes its value into
// *value (new reference) and returns true; otherwise leaves the error alone.
bool take_stop_value(PyObject **value) {
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return false;
    PyObject *e = fetch_exc();
    PyObject *v = reinterpret_cast<PyStopIterationObject *>(e)->value;
    *value = Py_NewRef(v ? v : Py_None);
    Py_DECREF(e);
    return true;
}

// Ends a send/iternext call: a yielded value is returned, a return value is
// raised as a StopIteration instance (so tuples and exceptions survive).
PyObject *finish_call(PySendResult r, PyObject *res) {
    if (r == PYGEN_NEXT) return res;
    if (r == PYGEN_ERROR) return nullptr;
    if (res == Py_None) {
        Py_DECREF(res);
        PyErr_SetNone(PyExc_StopIteration);
        return nullptr;
    }
    PyObject *e = PyObject_CallOneArg(PyExc_StopIteration, res);
    Py_DECREF(res);
    if (e) {
        PyErr_SetObject(PyExc_StopIteration, e);
        Py_DECREF(e);
    }
    return nullptr;
}

// The exception that throw(typ[, val[, tb]]) asks for, as an instance (new
// reference); null with TypeError for anything that is not an exception.
PyObject *exception_from_throw_args(PyObject *const *args, Py_ssize_t n) {
    if (n < 1 || n > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected 1 to 3 arguments, got %zd", n);
        return nullptr;
    }
    PyObject *typ = args[0];
    PyObject *val = n > 1 ? args[1] : Py_None;
    PyObject *tb = n > 2 ? args[2] : Py_None;
    if (tb != Py_None && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    PyObject *exc = nullptr;
    if (PyExceptionInstance_Check(typ)) {
        if (val != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        exc = Py_NewRef(typ);
    } else if (PyExceptionClass_Check(typ)) {
        if (PyObject_TypeCheck(val, reinterpret_cast<PyTypeObject *>(typ)))
            exc = Py_NewRef(val);
        else if (val == Py_None)
            exc = PyObject_CallNoArgs(typ);
        else if (PyTuple_Check(val))
            exc = PyObject_Call(typ, val, nullptr);
        else
            exc = PyObject_CallOneArg(typ, val);
        if (!exc) return nullptr;
        if (!PyExceptionInstance_Check(exc)) {
            PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of "
                         "BaseException, not %s", typ, Py_TYPE(exc)->tp_name);
            Py_DECREF(exc);
            return nullptr;
        }
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from "
                     "BaseException, not %s", Py_TYPE(typ)->tp_name);
        return nullptr;
    }
    if (tb != Py_None && PyException_SetTraceback(exc, tb) < 0) {
        Py_DECREF(exc);
        return nullptr;
    }
    return exc;
}

// --- delegation to a sub-iterator, as `yield from` does ----------------------------

// The iterator that `await obj` steps through.
PyObject *await_iter(PyObject *obj) {
    if (PyCoro_CheckExact(obj) || PyGen_CheckExact(obj)) return Py_NewRef(obj);
    PyAsyncMethods *am = Py_TYPE(obj)->tp_as_async;
    PyObject *it = nullptr;
    if (am && am->am_await) {
        it = am->am_await(obj);
    } else {
        PyObject *meth = PyObject_GetAttrString(obj, "__await__");
        if (!meth) return nullptr;
        it = PyObject_CallNoArgs(meth);
        Py_DECREF(meth);
    }
    if (it && !PyIter_Check(it)) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                     Py_TYPE(it)->tp_name);
        Py_CLEAR(it);
    }
    return it;
}

// obj.attr, or null without an error when obj has no such attribute.
PyObject *optional_attr(PyObject *obj, PyObject *name) {
    PyObject *v = PyObject_GetAttr(obj, name);
    if (!v && PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
    return v;
}

// Closes a sub-iterator that has a close() method; -1 with the error set if
// that fails.
int close_iter(PyObject *it) {
    PyObject *meth = optional_attr(it, g_names.close);
    if (!meth) return PyErr_Occurred() ? -1 : 0;
    PyObject *r = PyObject_CallNoArgs(meth);
    Py_DECREF(meth);
    if (!r) return -1;
    Py_DECREF(r);
    return 0;
}

// Throws `exc` (borrowed) into the sub-iterator `it`.
PySendResult throw_into(PyObject *it, PyObject *exc, PyObject **res) {
    *res = nullptr;
    if (PyErr_GivenExceptionMatches(exc, PyExc_GeneratorExit)) {
        if (close_iter(it) < 0) return PYGEN_ERROR;
        restore_exc(Py_NewRef(exc));
        return PYGEN_ERROR;
    }
    PyObject *meth = optional_attr(it, g_names.throw_);
    if (!meth) {
        if (!PyErr_Occurred()) restore_exc(Py_NewRef(exc));
        return PYGEN_ERROR;
    }
    PyObject *r = PyObject_CallOneArg(meth, exc);
    Py_DECREF(meth);
    if (r) {
        *res = r;
        return PYGEN_NEXT;
    }
    return take_stop_value(res) ? PYGEN_RETURN : PYGEN_ERROR;
}

// --- the lane --------------------------------------------------------------------

struct Lane {
    nb::object semaphore{};
    nb::object tasks{};
    nb::object max_concurrency{};
    // The semaphore's attribute dict: its count and queue are read and
    // written there directly on the hot path (null: use attribute access).
    nb::object sem_dict{};
    // True when that dict holds the count and the queue as this interpreter's
    // asyncio keeps them; otherwise every unit goes through acquire() and
    // release(), whatever a later asyncio changes inside its semaphore.
    bool fast_units = false;
    // The loop last found running, the thread it ran on and the fork
    // generation then (used where finding the running loop is slow).
    nb::object loop{};
    unsigned long loop_thread = 0;
    unsigned long loop_generation = 0;
    // The completion callback bound to this lane (made at the first submit).
    nb::object on_done{};
};

#if PY_VERSION_HEX < 0x030C0000
// Before 3.12 every look-up of the running loop asks the OS for the process
// id. A loop found running on this thread before is recognised instead by
// the thread marker that the standard loop keeps while it runs; a fork
// (counted here by an after-fork hook) makes every lane look it up afresh.
#define SORVEL_RECOGNISE_LOOP 1
std::atomic<unsigned long> g_fork_generation{0};

PyObject *after_fork(PyObject *, PyObject *) {
    g_fork_generation.fetch_add(1, std::memory_order_relaxed);
    Py_RETURN_NONE;
}

PyMethodDef g_after_fork_def = {"_after_fork", after_fork, METH_NOARGS, nullptr};

// True when `loop` says it runs on thread `tid`.
bool runs_on(PyObject *loop, unsigned long tid) {
    PyObject *marker = PyObject_GetAttr(loop, g_names.thread_id);
    if (!marker) {
        PyErr_Clear();
        return false;
    }
    bool same = PyLong_CheckExact(marker) && PyLong_AsUnsignedLong(marker) == tid;
    if (PyErr_Occurred()) PyErr_Clear();
    Py_DECREF(marker);
    return same;
}
#endif

// The event loop running on this thread (new reference), or None.
PyObject *running_loop(Lane *lane) {
#ifdef SORVEL_RECOGNISE_LOOP
    unsigned long tid = PyThread_get_thread_ident();
    unsigned long generation = g_fork_generation.load(std::memory_order_relaxed);
    PyObject *known = lane->loop.ptr();
    if (known && lane->loop_thread == tid && lane->loop_generation == generation &&
        runs_on(known, tid))
        return Py_NewRef(known);
    PyObject *loop = PyObject_CallNoArgs(g_running_loop);
    if (loop && loop != Py_None && runs_on(loop, tid)) {
        lane->loop = nb::borrow(loop);
        lane->loop_thread = tid;
        lane->loop_generation = generation;
    }
    return loop;
#else
    (void) lane;
    return PyObject_CallNoArgs(g_running_loop);
#endif
}

// sem.<name> (new reference), through the attribute dict when there is one.
PyObject *sem_get(Lane *lane, PyObject *name) {
    PyObject *d = lane->sem_dict.ptr();
    if (d) {
        PyObject *v = PyDict_GetItemWithError(d, name);
        if (v) return Py_NewRef(v);
        if (PyErr_Occurred()) return nullptr;
    }
    return PyObject_GetAttr(lane->semaphore.ptr(), name);
}

int sem_set(Lane *lane, PyObject *name, PyObject *value) {
    PyObject *d = lane->sem_dict.ptr();
    return d ? PyDict_SetItem(d, name, value) : PyObject_SetAttr(lane->semaphore.ptr(), name, value);
}

// 1 when someone queues for a unit, 0 when nobody does, -1 on error.
int waiters_queued(Lane *lane) {
    PyObject *waiters = sem_get(lane, g_names.waiters);
    if (!waiters) return -1;
    int queued = waiters == Py_None ? 0 : PyObject_IsTrue(waiters);
    Py_DECREF(waiters);
    return queued;
}

// sem._value += delta.
int sem_add(Lane *lane, long delta) {
    PyObject *v = sem_get(lane, g_names.value);
    if (!v) return -1;
    PyObject *nv = nullptr;
    int overflow = 0;
    long n = PyLong_CheckExact(v) ? PyLong_AsLongAndOverflow(v, &overflow) : -1;
    if (PyLong_CheckExact(v) && !overflow && n > -1000000 && n < 1000000) {
        nv = PyLong_FromLong(n + delta);
    } else {
        PyErr_Clear();
        PyObject *d = PyLong_FromLong(delta);
        nv = d ? PyNumber_Add(v, d) : nullptr;
        Py_XDECREF(d);
    }
    Py_DECREF(v);
    if (!nv) return -1;
    int rc = sem_set(lane, g_names.value, nv);
    Py_DECREF(nv);
    return rc;
}

Lane *lane_of(PyObject *lane) { return nb::inst_ptr<Lane>(lane); }

// The str repr of a name, as the messages quote it.
PyObject *quoted(PyObject *text) { return PyUnicode_Type.tp_repr(text); }

// --- the task body ---------------------------------------------------------------

enum class Step : std::uint8_t {
    fresh,                // not yet stepped
    waiting_predecessor,  // parked on `waiter`, which the predecessor completes
    waiting_unit,         // stepping the semaphore's acquire()
    running,              // stepping the submitted coroutine, holding a unit
    finished
};

struct Job {
    PyObject_HEAD
    PyObject *lane;       // the JobLane
    PyObject *coro;       // the submitted coroutine
    PyObject *after;      // the predecessor's name, or null
    PyObject *pred;       // the predecessor's task, or null (dropped once resolved)
    PyObject *sub;        // the iterator being delegated to, or the _PredecessorWait
    PyObject *cancelled;  // the cancellation that ended this body, for dependants
    Step step;
    bool in_submit;       // the task is being created: do not start yet
    bool busy;            // a step is under way (re-entry is refused)
    bool holds_unit;
};

PyObject *job_on_done(PyObject *self, PyObject *task);

PyObject *lane_on_done(PyObject *lane, PyObject *task);

// The lane's completion callback, registered on every task it creates.
PyMethodDef g_on_done_def = {"_on_done", lane_on_done, METH_O, nullptr};

// Returns the unit to the semaphore. The semaphore's own release() is called
// only when someone waits for a unit; otherwise its count goes up in place,
// which is all that release() would do. A pending exception is kept, unless
// the release fails, in which case that failure wins (as in a finally block).
int release_unit(Job *j) {
    if (!j->holds_unit) return 0;
    j->holds_unit = false;
    if (!j->lane) return 0;  // the lane was torn down by the collector
    Lane *lane = lane_of(j->lane);
    if (!lane->semaphore.is_valid()) return 0;
    PyObject *pending = PyErr_Occurred() ? fetch_exc() : nullptr;
    int rc = -1;
    int queued = lane->fast_units ? waiters_queued(lane) : 1;
    if (queued == 0) {
        rc = sem_add(lane, 1);
    } else if (queued > 0) {
        PyObject *r = PyObject_CallMethodNoArgs(lane->semaphore.ptr(), g_names.release);
        if (r) {
            Py_DECREF(r);
            rc = 0;
        }
    }
    if (rc < 0) {
        PyObject *err = fetch_exc();
        if (pending) PyException_SetContext(err, pending);
        restore_exc(err);
    } else if (pending) {
        restore_exc(pending);
    }
    return rc;
}

// Takes a unit without waiting when one is free and nobody queues for one
// (what acquire() does first). 1: taken; 0: not free; -1: error.
int try_take_unit(Job *j) {
    Lane *lane = j->lane ? lane_of(j->lane) : nullptr;
    if (!lane || !lane->semaphore.is_valid()) {
        PyErr_SetString(PyExc_RuntimeError, "the lane has been torn down");
        return -1;
    }
    if (!lane->fast_units) return 0;
    int queued = waiters_queued(lane);
    if (queued != 0) return queued < 0 ? -1 : 0;
    PyObject *v = sem_get(lane, g_names.value);
    if (!v) return -1;
    int positive = PyLong_Check(v) ? PyObject_RichCompareBool(v, g_zero, Py_GT) : 0;
    Py_DECREF(v);
    if (positive <= 0) return positive;
    return sem_add(lane, -1) < 0 ? -1 : 1;
}

// Raises CancelledError("Predecessor <after> failed") caused by `cause` (stolen).
void raise_predecessor_failed(Job *j, PyObject *cause) {
    PyObject *q = quoted(j->after);
    PyObject *msg = q ? PyUnicode_FromFormat("Predecessor %U failed", q) : nullptr;
    Py_XDECREF(q);
    PyObject *e = msg ? PyObject_CallOneArg(g_cancelled_error, msg) : nullptr;
    Py_XDECREF(msg);
    if (!e) {
        Py_DECREF(cause);
        return;
    }
    PyException_SetContext(e, Py_NewRef(cause));
    PyException_SetCause(e, cause);
    restore_exc(e);
}

// True for what ends the wait for a predecessor as a failure: any error or a
// cancellation. Interrupts (KeyboardInterrupt, SystemExit, GeneratorExit) go on.
bool is_failure(PyObject *exc) {
    return PyErr_GivenExceptionMatches(exc, PyExc_Exception) ||
           PyErr_GivenExceptionMatches(exc, g_cancelled_error);
}

// Raises the "Predecessor ... failed" cancellation for the pending exception
// when it is a failure; leaves other exceptions as they are.
void translate_pending(Job *j) {
    PyObject *exc = fetch_exc();
    if (is_failure(exc))
        raise_predecessor_failed(j, exc);
    else
        restore_exc(exc);
}

// The cancellation that the finished predecessor ended with (new reference).
// A predecessor run by a lane kept the exact object; it is read from there so
// that the first await of the predecessor's own handle still receives it.
PyObject *predecessor_cancellation(PyObject *pred) {
    PyObject *body = PyObject_CallMethodNoArgs(pred, g_names.get_coro);
    if (!body) return fetch_exc();
    if (Py_TYPE(body) == g_job_type) {
        PyObject *kept = reinterpret_cast<Job *>(body)->cancelled;
        if (kept) {
            Py_INCREF(kept);
            Py_DECREF(body);
            return kept;
        }
    }
    Py_DECREF(body);
    PyObject *r = PyObject_CallMethodNoArgs(pred, g_names.result);
    if (r) {  // not cancelled after all: should not happen
        Py_DECREF(r);
        return PyObject_CallNoArgs(g_cancelled_error);
    }
    return fetch_exc();
}

// Reads the finished predecessor's outcome: 0 when it completed with a result,
// -1 with the "Predecessor ... failed" cancellation (or an interrupt) raised.
int check_predecessor(Job *j) {
    PyObject *c = PyObject_CallMethodNoArgs(j->pred, g_names.cancelled);
    if (!c) {
        translate_pending(j);
        return -1;
    }
    int was_cancelled = PyObject_IsTrue(c);
    Py_DECREF(c);
    if (was_cancelled < 0) {
        translate_pending(j);
        return -1;
    }
    if (was_cancelled) {
        PyObject *cause = predecessor_cancellation(j->pred);
        if (cause) raise_predecessor_failed(j, cause);
        return -1;
    }
    PyObject *r = PyObject_CallMethodNoArgs(j->pred, g_names.result);
    if (r) {
        Py_DECREF(r);
        return 0;
    }
    translate_pending(j);
    return -1;
}

// --- the wait for a predecessor ----------------------------------------------------

// What a dependant's task parks on while its predecessor runs. To the task it
// is a future: the task registers its wake-up through it, and a relay on the
// predecessor calls that wake-up when the predecessor finishes (one callback
// on the predecessor, no intermediate future). Cancelling the dependant
// cancels only this wait: the relay is taken back from the predecessor,
// which goes on running. result() reports the predecessor's outcome without
// using up the cancellation that its own handle hands out on first await.
struct PredWait {
    PyObject_HEAD
    PyObject *pred;
    PyObject *wakeup;      // the callback the task registered through this wait
    PyObject *context;     // the context it asked for (or null)
    PyObject *relay;       // registered on the predecessor while waiting
    PyObject *cancel_msg;  // the cancellation's message once cancelled
    bool blocking;         // _asyncio_future_blocking
    bool is_cancelled;
    bool pred_completed;   // result() found a result: the dependant may start
};

PyTypeObject *g_pred_wait_type = nullptr;

PyObject *pw_relay(PyObject *self, PyObject *);
PyMethodDef g_pw_relay_def = {"_relay", pw_relay, METH_O, nullptr};

// loop.call_soon(fn, arg[, context=ctx]).
int call_soon(PyObject *loop, PyObject *fn, PyObject *arg, PyObject *context) {
    PyObject *args[4] = {loop, fn, arg, context};
    PyObject *r = PyObject_VectorcallMethod(g_names.call_soon, args,
                                            3 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                            context ? g_names.context_kw : nullptr);
    if (!r) return -1;
    Py_DECREF(r);
    return 0;
}

// Takes the relay back from the predecessor (if it has not fired).
void pw_detach(PredWait *w) {
    PyObject *relay = w->relay;
    w->relay = nullptr;
    if (relay && w->pred) {
        PyObject *pending = PyErr_Occurred() ? fetch_exc() : nullptr;
        PyObject *r = PyObject_CallMethodOneArg(w->pred, g_names.remove_done_callback, relay);
        if (r)
            Py_DECREF(r);
        else
            PyErr_Clear();  // nothing to report: a stray relay finds no wake-up
        if (pending) restore_exc(pending);
    }
    Py_XDECREF(relay);
}

// The predecessor finished: wake the task that waits through `self`.
PyObject *pw_relay(PyObject *self, PyObject *) {
    PredWait *w = reinterpret_cast<PredWait *>(self);
    Py_CLEAR(w->relay);
    PyObject *wakeup = w->wakeup;
    w->wakeup = nullptr;
    Py_CLEAR(w->context);
    if (!wakeup || w->is_cancelled) {
        Py_XDECREF(wakeup);
        Py_RETURN_NONE;
    }
    PyObject *r = PyObject_CallOneArg(wakeup, self);
    Py_DECREF(wakeup);
    return r;
}

PyObject *pw_get_loop(PyObject *self, PyObject *) {
    return PyObject_CallMethodNoArgs(reinterpret_cast<PredWait *>(self)->pred, g_names.get_loop);
}

// add_done_callback(fn, *, context=None)
PyObject *pw_add_done_callback(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                               PyObject *kwnames) {
    PredWait *w = reinterpret_cast<PredWait *>(self);
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject *context = nullptr;
    if (nargs != 1 || nkw > 1 ||
        (nkw == 1 && PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(kwnames, 0), "context"))) {
        PyErr_SetString(PyExc_TypeError, "add_done_callback(fn, *, context=None)");
        return nullptr;
    }
    if (nkw == 1 && args[1] != Py_None) context = args[1];
    PyObject *fn = args[0];
    if (w->is_cancelled) {
        PyObject *loop = pw_get_loop(self, nullptr);
        if (!loop) return nullptr;
        int rc = call_soon(loop, fn, self, context);
        Py_DECREF(loop);
        if (rc < 0) return nullptr;
        Py_RETURN_NONE;
    }
    if (w->wakeup || !w->pred) {
        PyErr_SetString(PyExc_RuntimeError, "a predecessor wait serves one waiter");
        return nullptr;
    }
    PyObject *relay = PyCFunction_New(&g_pw_relay_def, self);
    if (!relay) return nullptr;
    PyObject *cargs[3] = {w->pred, relay, context};
    PyObject *r = PyObject_VectorcallMethod(g_names.add_done_callback, cargs,
                                            2 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                            context ? g_names.context_kw : nullptr);
    if (!r) {
        Py_DECREF(relay);
        return nullptr;
    }
    Py_DECREF(r);
    w->relay = relay;
    w->wakeup = Py_NewRef(fn);
    w->context = Py_XNewRef(context);
    Py_RETURN_NONE;
}

PyObject *pw_remove_done_callback(PyObject *self, PyObject *fn) {
    PredWait *w = reinterpret_cast<PredWait *>(self);
    if (w->wakeup && (w->wakeup == fn || PyObject_RichCompareBool(w->wakeup, fn, Py_EQ) > 0)) {
        pw_detach(w);
        Py_CLEAR(w->wakeup);
        Py_CLEAR(w->context);
        return PyLong_FromLong(1);
    }
    if (PyErr_Occurred()) return nullptr;
    return PyLong_FromLong(0);
}

// cancel(msg=None): ends the wait (not the predecessor) and wakes the task,
// whose wake-up then reads the cancellation from result().
PyObject *pw_cancel(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PredWait *w = reinterpret_cast<PredWait *>(self);
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs + nkw > 1 ||
        (nkw == 1 && PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(kwnames, 0), "msg"))) {
        PyErr_SetString(PyExc_TypeError, "cancel(msg=None)");
        return nullptr;
    }
    PyObject *msg = nargs + nkw == 1 ? args[0] : Py_None;
    if (w->is_cancelled || !w->pred) Py_RETURN_FALSE;
    PyObject *d = PyObject_CallMethodNoArgs(w->pred, g_names.done);
    if (!d) return nullptr;
    int done = PyObject_IsTrue(d);
    Py_DECREF(d);
    if (done < 0) return nullptr;
    if (done) Py_RETURN_FALSE;  // the wake-up is already on its way
    pw_detach(w);
    w->is_cancelled = true;
    Py_XSETREF(w->cancel_msg, Py_NewRef(msg));
    PyObject *wakeup = w->wakeup, *context = w->context;
    w->wakeup = w->context = nullptr;
    int rc = 0;
    if (wakeup) {
        PyObject *loop = pw_get_loop(self, nullptr);
        rc = loop ? call_soon(loop, wakeup, self, context) : -1;
        Py_XDECREF(loop);
    }
    Py_XDECREF(wakeup);
    Py_XDECREF(context);
    if (rc < 0) return nullptr;
    Py_RETURN_TRUE;
}

PyObject *pw_cancelled(PyObject *self, PyObject *) {
    return PyBool_FromLong(reinterpret_cast<PredWait *>(self)->is_cancelled);
}

PyObject *pw_done(PyObject *self, PyObject *) {
    PredWait *w = reinterpret_cast<PredWait *>(self);
    if (w->is_cancelled || !w->pred) Py_RETURN_TRUE;
    return PyObject_CallMethodNoArgs(w->pred, g_names.done);
}

PyObject *pw_cancelled_error(PredWait *w) {
    PyObject *e = w->cancel_msg && w->cancel_msg != Py_None
                      ? PyObject_CallOneArg(g_cancelled_error, w->cancel_msg)
                      : PyObject_CallNoArgs(g_cancelled_error);
    if (e) restore_exc(e);
    return nullptr;
}

// The predecessor's outcome: None after a result, its error raised after a
// failure, its cancellation raised (read without using it up) after one.
PyObject *pw_result(PyObject *self, PyObject *) {
    PredWait *w = reinterpret_cast<PredWait *>(self);
    if (w->is_cancelled) return pw_cancelled_error(w);
    if (!w->pred) Py_RETURN_NONE;
    PyObject *c = PyObject_CallMethodNoArgs(w->pred, g_names.cancelled);
    if (!c) return nullptr;
    int was_cancelled = PyObject_IsTrue(c);
    Py_DECREF(c);
    if (was_cancelled < 0) return nullptr;
    if (was_cancelled) {
        PyObject *exc = predecessor_cancellation(w->pred);
        if (exc) restore_exc(exc);
        return nullptr;
    }
    PyObject *r = PyObject_CallMethodNoArgs(w->pred, g_names.result);
    if (!r) return nullptr;
    Py_DECREF(r);
    w->pred_completed = true;
    Py_RETURN_NONE;
}

PyObject *pw_exception(PyObject *self, PyObject *) {
    PyObject *r = pw_result(self, nullptr);
    if (r) {
        Py_DECREF(r);
        Py_RETURN_NONE;
    }
    if (PyErr_ExceptionMatches(g_cancelled_error)) return nullptr;
    return fetch_exc();
}

PyObject *pw_get_blocking(PyObject *self, void *) {
    return PyBool_FromLong(reinterpret_cast<PredWait *>(self)->blocking);
}

int pw_set_blocking(PyObject *self, PyObject *value, void *) {
    if (!value) {
        PyErr_SetString(PyExc_AttributeError, "cannot delete _asyncio_future_blocking");
        return -1;
    }
    int v = PyObject_IsTrue(value);
    if (v < 0) return -1;
    reinterpret_cast<PredWait *>(self)->blocking = v;
    return 0;
}

int pw_traverse(PyObject *self, visitproc visit, void *arg) {
    PredWait *w = reinterpret_cast<PredWait *>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(w->pred);
    Py_VISIT(w->wakeup);
    Py_VISIT(w->context);
    Py_VISIT(w->relay);
    Py_VISIT(w->cancel_msg);
    return 0;
}

int pw_clear(PyObject *self) {
    PredWait *w = reinterpret_cast<PredWait *>(self);
    Py_CLEAR(w->pred);
    Py_CLEAR(w->wakeup);
    Py_CLEAR(w->context);
    Py_CLEAR(w->relay);
    Py_CLEAR(w->cancel_msg);
    return 0;
}

void pw_dealloc(PyObject *self) {
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    pw_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyMethodDef g_pw_methods[] = {
    {"get_loop", pw_get_loop, METH_NOARGS, nullptr},
    {"add_done_callback",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(pw_add_done_callback)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"remove_done_callback", pw_remove_done_callback, METH_O, nullptr},
    {"cancel", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(pw_cancel)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"cancelled", pw_cancelled, METH_NOARGS, nullptr},
    {"done", pw_done, METH_NOARGS, nullptr},
    {"result", pw_result, METH_NOARGS, nullptr},
    {"exception", pw_exception, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef g_pw_getset[] = {
    {"_asyncio_future_blocking", pw_get_blocking, pw_set_blocking, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot g_pw_slots[] = {
    {Py_tp_doc, const_cast<char *>("A lane task's wait for its predecessor.")},
    {Py_tp_dealloc, reinterpret_cast<void *>(pw_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(pw_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(pw_clear)},
    {Py_tp_methods, g_pw_methods},
    {Py_tp_getset, g_pw_getset},
    {0, nullptr}};

PyType_Spec g_pw_type_def = {"sorvel_layer._internal.job_lane._PredecessorWait", sizeof(PredWait), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC |
                             Py_TPFLAGS_DISALLOW_INSTANTIATION,
                         g_pw_slots};

PyObject *new_pred_wait(PyObject *pred) {
    PredWait *w = PyObject_GC_New(PredWait, g_pred_wait_type);
    if (!w) return nullptr;
    w->pred = Py_NewRef(pred);
    w->wakeup = w->context = w->relay = w->cancel_msg = nullptr;
    w->blocking = true;
    w->is_cancelled = false;
    w->pred_completed = false;
    PyObject_GC_Track(reinterpret_cast<PyObject *>(w));
    return reinterpret_cast<PyObject *>(w);
}

// Leaves the wait for the predecessor: the relay is taken back from it, so a
// dependant that gave up leaves nothing behind on the predecessor.
void stop_waiting(Job *j) {
    PyObject *sub = j->sub;
    j->sub = nullptr;
    if (sub && Py_TYPE(sub) == g_pred_wait_type) {
        PredWait *w = reinterpret_cast<PredWait *>(sub);
        pw_detach(w);
        Py_CLEAR(w->wakeup);
        Py_CLEAR(w->context);
        Py_CLEAR(w->pred);
    }
    Py_XDECREF(sub);
    Py_CLEAR(j->pred);
}

// Starts delegating to the submitted coroutine.
int start_running(Job *j) {
    PyObject *it = await_iter(j->coro);
    if (!it) return -1;
    Py_XSETREF(j->sub, it);
    j->step = Step::running;
    return 0;
}

// Ends the body (on a return value or an error) from the running state.
PySendResult finish_running(Job *j, PySendResult r, PyObject **res) {
    j->step = Step::finished;
    Py_CLEAR(j->sub);
    if (release_unit(j) < 0 && r == PYGEN_RETURN) {
        Py_CLEAR(*res);
        return PYGEN_ERROR;
    }
    return r;
}

// One step of the body with `arg` sent in.
PySendResult job_advance(Job *j, PyObject *arg, PyObject **res) {
    *res = nullptr;
    for (;;) {
        switch (j->step) {
        case Step::fresh: {
            if (j->in_submit) {  // an eager task factory: start at a later turn
                *res = Py_NewRef(Py_None);
                return PYGEN_NEXT;
            }
            if (j->pred) {
                PyObject *d = PyObject_CallMethodNoArgs(j->pred, g_names.done);
                int done = d ? PyObject_IsTrue(d) : -1;
                Py_XDECREF(d);
                if (done < 0) {
                    j->step = Step::finished;
                    translate_pending(j);
                    return PYGEN_ERROR;
                }
                if (!done) {
                    PyObject *w = new_pred_wait(j->pred);
                    if (!w) {
                        j->step = Step::finished;
                        Py_CLEAR(j->pred);
                        return PYGEN_ERROR;
                    }
                    j->sub = w;
                    j->step = Step::waiting_predecessor;
                    *res = Py_NewRef(w);
                    return PYGEN_NEXT;
                }
                int ok = check_predecessor(j);
                Py_CLEAR(j->pred);
                if (ok < 0) {
                    j->step = Step::finished;
                    return PYGEN_ERROR;
                }
            }
            goto take_unit;
        }
        case Step::waiting_predecessor: {
            // Woken by the predecessor's completion with a result (a failure
            // or a cancellation comes in through throw()). The task's wake-up
            // has usually read that result from the wait already.
            PyObject *sub = j->sub;
            bool known = sub && Py_TYPE(sub) == g_pred_wait_type &&
                         reinterpret_cast<PredWait *>(sub)->pred_completed;
            int ok = known ? 0 : check_predecessor(j);
            stop_waiting(j);
            if (ok < 0) {
                j->step = Step::finished;
                return PYGEN_ERROR;
            }
            goto take_unit;
        }
        case Step::waiting_unit: {
            PyObject *sub = Py_NewRef(j->sub);
            PySendResult r = PyIter_Send(sub, arg, res);
            Py_DECREF(sub);
            if (r == PYGEN_NEXT) return r;
            Py_CLEAR(j->sub);
            if (r == PYGEN_ERROR) {
                j->step = Step::finished;
                return r;
            }
            Py_CLEAR(*res);
            j->holds_unit = true;
            if (start_running(j) < 0) return finish_running(j, PYGEN_ERROR, res);
            arg = Py_None;
            continue;
        }
        case Step::running: {
            PyObject *sub = Py_NewRef(j->sub);
            PySendResult r = PyIter_Send(sub, arg, res);
            Py_DECREF(sub);
            if (r == PYGEN_NEXT) return r;
            return finish_running(j, r, res);
        }
        case Step::finished:
            PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
            return PYGEN_ERROR;
        }
    take_unit: {
        int taken = try_take_unit(j);
        if (taken < 0) {
            j->step = Step::finished;
            return PYGEN_ERROR;
        }
        if (taken) {
            j->holds_unit = true;
            if (start_running(j) < 0) return finish_running(j, PYGEN_ERROR, res);
        } else {
            PyObject *acq =
                PyObject_CallMethodNoArgs(lane_of(j->lane)->semaphore.ptr(), g_names.acquire);  // checked above
            PyObject *it = acq ? await_iter(acq) : nullptr;
            Py_XDECREF(acq);
            if (!it) {
                j->step = Step::finished;
                return PYGEN_ERROR;
            }
            Py_XSETREF(j->sub, it);
            j->step = Step::waiting_unit;
        }
        arg = Py_None;
    }
    }
}

// Throws `exc` (borrowed) into the body.
PySendResult job_throw_in(Job *j, PyObject *exc, PyObject **res) {
    *res = nullptr;
    switch (j->step) {
    case Step::fresh:
    case Step::finished:
        // Not started (or over): the exception comes straight out, as from a
        // coroutine that has not begun; coro stays untouched for _on_done.
        j->step = Step::finished;
        Py_CLEAR(j->pred);
        restore_exc(Py_NewRef(exc));
        return PYGEN_ERROR;
    case Step::waiting_predecessor:
        j->step = Step::finished;
        restore_exc(Py_NewRef(exc));
        translate_pending(j);
        stop_waiting(j);
        return PYGEN_ERROR;
    case Step::waiting_unit: {
        // acquire() itself hands a unit granted at this moment on.
        PyObject *sub = Py_NewRef(j->sub);
        PySendResult r = throw_into(sub, exc, res);
        Py_DECREF(sub);
        if (r == PYGEN_NEXT) return r;
        Py_CLEAR(j->sub);
        if (r == PYGEN_ERROR) {
            j->step = Step::finished;
            return r;
        }
        Py_CLEAR(*res);
        j->holds_unit = true;
        if (start_running(j) < 0) return finish_running(j, PYGEN_ERROR, res);
        return job_advance(j, Py_None, res);
    }
    case Step::running: {
        PyObject *sub = Py_NewRef(j->sub);
        PySendResult r = throw_into(sub, exc, res);
        Py_DECREF(sub);
        if (r == PYGEN_NEXT) return r;
        return finish_running(j, r, res);
    }
    }
    return PYGEN_ERROR;  // not reached
}

// Keeps the cancellation that ends the body, for dependants to chain to.
PySendResult note_outcome(Job *j, PySendResult r) {
    if (r == PYGEN_ERROR && PyErr_ExceptionMatches(g_cancelled_error)) {
        PyObject *e = fetch_exc();
        Py_XSETREF(j->cancelled, Py_NewRef(e));
        restore_exc(e);
    }
    return r;
}

bool enter(Job *j) {
    if (j->busy) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return false;
    }
    j->busy = true;
    return true;
}

PySendResult job_send(Job *j, PyObject *arg, PyObject **res) {
    if (!enter(j)) {
        *res = nullptr;
        return PYGEN_ERROR;
    }
    Py_INCREF(j);
    PySendResult r = note_outcome(j, job_advance(j, arg, res));
    j->busy = false;
    Py_DECREF(j);
    return r;
}

PySendResult job_am_send(PyObject *self, PyObject *arg, PyObject **res) {
    return job_send(reinterpret_cast<Job *>(self), arg, res);
}

PyObject *job_iternext(PyObject *self) {
    PyObject *res = nullptr;
    PySendResult r = job_send(reinterpret_cast<Job *>(self), Py_None, &res);
    return finish_call(r, res);
}

PyObject *job_send_method(PyObject *self, PyObject *arg) {
    Job *j = reinterpret_cast<Job *>(self);
    if (j->step == Step::fresh && arg != Py_None) {
        PyErr_SetString(PyExc_TypeError,
                        "can't send non-None value to a just-started coroutine");
        return nullptr;
    }
    PyObject *res = nullptr;
    PySendResult r = job_send(j, arg, &res);
    return finish_call(r, res);
}

PyObject *job_throw_method(PyObject *self, PyObject *const *args, Py_ssize_t n) {
    Job *j = reinterpret_cast<Job *>(self);
    PyObject *exc = exception_from_throw_args(args, n);
    if (!exc) return nullptr;
    if (!enter(j)) {
        Py_DECREF(exc);
        return nullptr;
    }
    Py_INCREF(j);
    PyObject *res = nullptr;
    PySendResult r = note_outcome(j, job_throw_in(j, exc, &res));
    Py_DECREF(exc);
    j->busy = false;
    Py_DECREF(j);
    return finish_call(r, res);
}

PyObject *job_close_method(PyObject *self, PyObject *) {
    Job *j = reinterpret_cast<Job *>(self);
    if (!enter(j)) return nullptr;
    Py_INCREF(j);
    int rc = 0;
    Step was = j->step;
    j->step = Step::finished;
    switch (was) {
    case Step::fresh:
    case Step::finished:
        Py_CLEAR(j->pred);
        break;
    case Step::waiting_predecessor:
        stop_waiting(j);
        break;
    case Step::waiting_unit:
    case Step::running: {
        PyObject *sub = j->sub;
        j->sub = nullptr;
        if (sub) {
            rc = close_iter(sub);
            Py_DECREF(sub);
        }
        if (release_unit(j) < 0) rc = -1;
        break;
    }
    }
    j->busy = false;
    Py_DECREF(j);
    if (rc < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject *job_await(PyObject *self) { return Py_NewRef(self); }

// Completion callback of the task: untrack it and close its coroutine, which
// discards one that never started and leaves a finished one as it is.
PyObject *job_on_done(PyObject *self, PyObject *task) {
    Job *j = reinterpret_cast<Job *>(self);
    Py_INCREF(j);
    PyObject *out = nullptr;
    PyObject *name = Py_TYPE(task) == g_task_type
                         ? PyObject_CallOneArg(g_task_get_name, task)
                         : PyObject_CallMethodNoArgs(task, g_names.get_name);
    if (name) {
        PyObject *tasks = j->lane ? lane_of(j->lane)->tasks.ptr() : nullptr;
        int rc = 0;
        if (tasks && PyDict_Check(tasks) && PyDict_DelItem(tasks, name) < 0) {
            if (PyErr_ExceptionMatches(PyExc_KeyError))
                PyErr_Clear();  // already gone: nothing to do
            else
                rc = -1;
        }
        Py_DECREF(name);
        if (rc == 0) {
            PyObject *coro = j->coro;
            j->coro = nullptr;
            if (coro) {
                out = PyCoro_CheckExact(coro) ? PyObject_CallOneArg(g_coro_close, coro)
                                              : PyObject_CallMethodNoArgs(coro, g_names.close);
                Py_DECREF(coro);
            } else {
                out = Py_NewRef(Py_None);
            }
        }
    }
    // The task is over: drop what tied it to the lane and to its predecessor.
    Py_CLEAR(j->pred);
    Py_CLEAR(j->after);
    Py_CLEAR(j->lane);
    Py_DECREF(j);
    return out;
}

// Completion callback of every task of the lane: finds the task's body and
// lets it untrack the task and close its coroutine.
PyObject *lane_on_done(PyObject *lane, PyObject *task) {
    PyObject *body = Py_TYPE(task) == g_task_type ? PyObject_CallOneArg(g_task_get_coro, task)
                                                  : PyObject_CallMethodNoArgs(task, g_names.get_coro);
    if (!body) return nullptr;
    PyObject *r;
    if (Py_TYPE(body) == g_job_type) {
        r = job_on_done(body, task);
    } else {
        // Not a body of ours (the host swapped the coroutine): untrack only.
        r = nullptr;
        PyObject *name = PyObject_CallMethodNoArgs(task, g_names.get_name);
        PyObject *tasks = lane_of(lane)->tasks.ptr();
        if (name && tasks && PyDict_DelItem(tasks, name) < 0 &&
            PyErr_ExceptionMatches(PyExc_KeyError))
            PyErr_Clear();
        if (name && !PyErr_Occurred()) r = Py_NewRef(Py_None);
        Py_XDECREF(name);
    }
    Py_DECREF(body);
    return r;
}

int job_traverse(PyObject *self, visitproc visit, void *arg) {
    Job *j = reinterpret_cast<Job *>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(j->lane);
    Py_VISIT(j->coro);
    Py_VISIT(j->after);
    Py_VISIT(j->pred);
    Py_VISIT(j->sub);
    Py_VISIT(j->cancelled);
    return 0;
}

int job_clear(PyObject *self) {
    Job *j = reinterpret_cast<Job *>(self);
    Py_CLEAR(j->lane);
    Py_CLEAR(j->coro);
    Py_CLEAR(j->after);
    Py_CLEAR(j->pred);
    Py_CLEAR(j->sub);
    Py_CLEAR(j->cancelled);
    j->holds_unit = false;
    return 0;
}

void job_dealloc(PyObject *self) {
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    job_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

// Names for the task's repr (asyncio shows the body's qualified name).
PyObject *job_name(PyObject *, void *) { return PyUnicode_FromString("_wrapper"); }
PyObject *job_qualname(PyObject *, void *) { return PyUnicode_FromString("JobLane._wrapper"); }

PyGetSetDef g_job_getset[] = {
    {"__name__", job_name, nullptr, nullptr, nullptr},
    {"__qualname__", job_qualname, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef g_job_methods[] = {
    {"send", job_send_method, METH_O,
     "send($self, value, /)\n--\n\nSend a value into the task body; return the next "
     "yielded value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(job_throw_method)),
     METH_FASTCALL,
     "throw($self, typ, val=None, tb=None, /)\n--\n\nRaise an exception inside the task "
     "body at its current wait."},
    {"close", job_close_method, METH_NOARGS,
     "close($self, /)\n--\n\nClose the task body: end the wait it is in, or close the "
     "running coroutine and return its unit."},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot g_job_slots[] = {
    {Py_tp_doc, const_cast<char *>("The body of one lane task: waits for the predecessor, "
                                   "takes a unit of the lane, runs the submitted coroutine.")},
    {Py_tp_dealloc, reinterpret_cast<void *>(job_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(job_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(job_clear)},
    {Py_tp_iter, reinterpret_cast<void *>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void *>(job_iternext)},
    {Py_tp_methods, g_job_methods},
    {Py_tp_getset, g_job_getset},

    {Py_am_await, reinterpret_cast<void *>(job_await)},
    {Py_am_send, reinterpret_cast<void *>(job_am_send)},
    {0, nullptr}};

PyType_Spec g_job_type_def = {"sorvel_layer._internal.job_lane._Job", sizeof(Job), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                          g_job_slots};

// --- wait_all's awaitable --------------------------------------------------------

struct WaitAll {
    PyObject_HEAD
    PyObject *tasks;    // the lane's map; the snapshot is taken at the first step
    PyObject *timeout;  // None: no limit
    PyObject *sub;      // the asyncio.wait(...) coroutine, once started
    bool started;
    bool busy;
};

PySendResult wait_advance(WaitAll *w, PyObject *arg, PyObject **res) {
    *res = nullptr;
    if (!w->started) {
        w->started = true;
        if (!w->tasks || PyDict_GET_SIZE(w->tasks) == 0) {
            Py_CLEAR(w->tasks);
            *res = Py_NewRef(Py_None);
            return PYGEN_RETURN;
        }
        PyObject *snapshot = PyDict_Values(w->tasks);
        Py_CLEAR(w->tasks);
        if (!snapshot) return PYGEN_ERROR;
        PyObject *args[2] = {snapshot, w->timeout};
        PyObject *coro = PyObject_Vectorcall(g_wait, args, 1, g_names.timeout_kw);
        Py_DECREF(snapshot);
        PyObject *it = coro ? await_iter(coro) : nullptr;
        Py_XDECREF(coro);
        if (!it) return PYGEN_ERROR;
        w->sub = it;
        arg = Py_None;
    }
    if (!w->sub) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return PYGEN_ERROR;
    }
    PyObject *sub = Py_NewRef(w->sub);
    PySendResult r = PyIter_Send(sub, arg, res);
    Py_DECREF(sub);
    if (r == PYGEN_NEXT) return r;
    Py_CLEAR(w->sub);
    if (r == PYGEN_RETURN) Py_SETREF(*res, Py_NewRef(Py_None));  // (done, pending) is not ours to give
    return r;
}

PySendResult wait_send(WaitAll *w, PyObject *arg, PyObject **res) {
    if (w->busy) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        *res = nullptr;
        return PYGEN_ERROR;
    }
    w->busy = true;
    Py_INCREF(w);
    PySendResult r = wait_advance(w, arg, res);
    w->busy = false;
    Py_DECREF(w);
    return r;
}

PySendResult wait_am_send(PyObject *self, PyObject *arg, PyObject **res) {
    return wait_send(reinterpret_cast<WaitAll *>(self), arg, res);
}

PyObject *wait_iternext(PyObject *self) {
    PyObject *res = nullptr;
    PySendResult r = wait_send(reinterpret_cast<WaitAll *>(self), Py_None, &res);
    return finish_call(r, res);
}

PyObject *wait_send_method(PyObject *self, PyObject *arg) {
    WaitAll *w = reinterpret_cast<WaitAll *>(self);
    if (!w->started && arg != Py_None) {
        PyErr_SetString(PyExc_TypeError,
                        "can't send non-None value to a just-started coroutine");
        return nullptr;
    }
    PyObject *res = nullptr;
    PySendResult r = wait_send(w, arg, &res);
    return finish_call(r, res);
}

PyObject *wait_throw_method(PyObject *self, PyObject *const *args, Py_ssize_t n) {
    WaitAll *w = reinterpret_cast<WaitAll *>(self);
    PyObject *exc = exception_from_throw_args(args, n);
    if (!exc) return nullptr;
    if (w->busy) {
        Py_DECREF(exc);
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return nullptr;
    }
    w->busy = true;
    Py_INCREF(w);
    PyObject *res = nullptr;
    PySendResult r;
    w->started = true;
    Py_CLEAR(w->tasks);
    if (!w->sub) {
        restore_exc(Py_NewRef(exc));
        r = PYGEN_ERROR;
    } else {
        PyObject *sub = Py_NewRef(w->sub);
        r = throw_into(sub, exc, &res);
        Py_DECREF(sub);
        if (r != PYGEN_NEXT) Py_CLEAR(w->sub);
        if (r == PYGEN_RETURN) Py_SETREF(res, Py_NewRef(Py_None));
    }
    Py_DECREF(exc);
    w->busy = false;
    Py_DECREF(w);
    return finish_call(r, res);
}

PyObject *wait_close_method(PyObject *self, PyObject *) {
    WaitAll *w = reinterpret_cast<WaitAll *>(self);
    if (w->busy) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return nullptr;
    }
    w->started = true;
    Py_CLEAR(w->tasks);
    PyObject *sub = w->sub;
    w->sub = nullptr;
    int rc = 0;
    if (sub) {
        rc = close_iter(sub);
        Py_DECREF(sub);
    }
    if (rc < 0) return nullptr;
    Py_RETURN_NONE;
}

int wait_traverse(PyObject *self, visitproc visit, void *arg) {
    WaitAll *w = reinterpret_cast<WaitAll *>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(w->tasks);
    Py_VISIT(w->timeout);
    Py_VISIT(w->sub);
    return 0;
}

int wait_clear(PyObject *self) {
    WaitAll *w = reinterpret_cast<WaitAll *>(self);
    Py_CLEAR(w->tasks);
    Py_CLEAR(w->timeout);
    Py_CLEAR(w->sub);
    return 0;
}

void wait_dealloc(PyObject *self) {
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    wait_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyMethodDef g_wait_methods[] = {
    {"send", wait_send_method, METH_O, "send($self, value, /)\n--\n\n"},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(wait_throw_method)),
     METH_FASTCALL, "throw($self, typ, val=None, tb=None, /)\n--\n\n"},
    {"close", wait_close_method, METH_NOARGS, "close($self, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot g_wait_slots[] = {
    {Py_tp_doc, const_cast<char *>("Awaitable returned by JobLane.wait_all().")},
    {Py_tp_dealloc, reinterpret_cast<void *>(wait_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(wait_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(wait_clear)},
    {Py_tp_iter, reinterpret_cast<void *>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void *>(wait_iternext)},
    {Py_tp_methods, g_wait_methods},
    {Py_am_await, reinterpret_cast<void *>(job_await)},
    {Py_am_send, reinterpret_cast<void *>(wait_am_send)},
    {0, nullptr}};

PyType_Spec g_wait_type_def = {"sorvel_layer._internal.job_lane._WaitAll", sizeof(WaitAll), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION, g_wait_slots};

// --- JobLane operations ------------------------------------------------------------

[[noreturn]] void raise_pending() { throw nb::python_error(); }

// An int that is not a bool, else TypeError naming the argument.
void require_int(PyObject *v, const char *arg) {
    if (!PyLong_Check(v) || PyBool_Check(v))
        throw nb::type_error((std::string(arg) + " must be int, not " + Py_TYPE(v)->tp_name).c_str());
}

void close_quietly(PyObject *coro) {
    PyObject *meth = optional_attr(coro, g_names.close);
    PyObject *r = meth ? PyObject_CallNoArgs(meth) : nullptr;
    Py_XDECREF(meth);
    Py_XDECREF(r);
    if (!r && PyErr_Occurred()) PyErr_Clear();
}

// Closes `coro` and raises `exc_type` with "<prefix><quoted text><suffix>".
[[noreturn]] void reject(PyObject *coro, PyObject *exc_type, const char *prefix, PyObject *text,
                         const char *suffix) {
    close_quietly(coro);
    PyObject *q = quoted(text);
    if (!q) raise_pending();
    PyObject *msg = PyUnicode_FromFormat("%s%U%s", prefix, q, suffix);
    Py_DECREF(q);
    if (!msg) raise_pending();
    PyErr_SetObject(exc_type, msg);
    Py_DECREF(msg);
    raise_pending();
}

void lane_init(Lane *self, nb::handle max_concurrency) {
    PyObject *n = max_concurrency.ptr();
    require_int(n, "max_concurrency");
    // A negative limit is refused by the semaphore itself.
    PyObject *sem = PyObject_CallOneArg(g_semaphore, n);
    if (!sem) raise_pending();
    nb::object semaphore = nb::steal(sem);
    int overflow = 0;
    long v = PyLong_AsLongAndOverflow(n, &overflow);
    if (overflow == 0 && v < 1)
        throw nb::value_error("max_concurrency must be at least 1");
    // The hot path reads and writes the count in the attribute dict; a
    // semaphore without one is served through attribute access.
    PyObject *d = PyObject_GenericGetDict(semaphore.ptr(), nullptr);
    if (!d) PyErr_Clear();
    bool fast = false;
    if (d && PyDict_Check(d)) {
        PyObject *count = PyDict_GetItemWithError(d, g_names.value);  // borrowed
        PyObject *queue = count ? PyDict_GetItemWithError(d, g_names.waiters) : nullptr;
        if (PyErr_Occurred()) PyErr_Clear();
        fast = count && PyLong_CheckExact(count) && queue &&
               (queue == Py_None || PyObject_HasAttrString(queue, "__len__"));
    }
    new (self) Lane{.semaphore = std::move(semaphore),
                    .tasks = nb::dict(),
                    .max_concurrency = nb::borrow(n),
                    .sem_dict = nb::steal(d),
                    .fast_units = fast};
}

// loop.create_task(body, name=name). For a loop whose create_task is the
// standard one and that has no task factory, the task is built directly, as
// that method would build it (saving a Python frame per submission).
PyObject *create_task(PyObject *loop, PyObject *body, PyObject *name) {
    PyObject *meth = PyObject_GetAttr(reinterpret_cast<PyObject *>(Py_TYPE(loop)), g_names.create_task);
    if (!meth) return nullptr;
    bool standard = meth == g_base_create_task;
    Py_DECREF(meth);
    if (standard) {
        PyObject *factory = PyObject_GetAttr(loop, g_names.task_factory);
        if (!factory) PyErr_Clear();
        bool plain = factory == Py_None;
        Py_XDECREF(factory);
        if (plain) {
            PyObject *task_type = PyObject_GetAttr(g_tasks_module, g_names.task);
            if (!task_type) return nullptr;
            PyObject *args[4] = {nullptr, body, loop, name};
            PyObject *task = PyObject_Vectorcall(task_type, args + 1,
                                                 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                 g_names.loop_name_kw);
            Py_DECREF(task_type);
            return task;
        }
    }
    PyObject *args[3] = {loop, body, name};
    return PyObject_VectorcallMethod(g_names.create_task, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     g_names.name_kw);
}

nb::object lane_submit(nb::pointer_and_handle<Lane> self, nb::handle name_h, nb::handle coro_h,
                       nb::handle after_h) {
    Lane *lane = self.p;
    PyObject *name = name_h.ptr(), *coro = coro_h.ptr(), *after = after_h.ptr();
    int is_coro = PyCoro_CheckExact(coro);
    if (!is_coro) {
        PyObject *r = PyObject_CallOneArg(g_iscoroutine, coro);
        if (!r) raise_pending();
        is_coro = PyObject_IsTrue(r);
        Py_DECREF(r);
        if (is_coro < 0) raise_pending();
    }
    // A refused coroutine is closed, so that it is not left behind unstarted.
    if (!PyUnicode_Check(name)) {
        if (is_coro) close_quietly(coro);
        sp::require_str(name_h, "name");
    }
    if (!is_coro)
        throw nb::type_error(
            (std::string("coro must be a coroutine, not ") + Py_TYPE(coro)->tp_name).c_str());
    if (after == Py_None) {
        after = nullptr;
    } else if (!PyUnicode_Check(after)) {
        close_quietly(coro);
        sp::require_str(after_h, "after");
    }
    PyObject *tasks = lane->tasks.ptr();
    if (!tasks) throw nb::type_error("the lane has been torn down");
    int has = PyDict_Contains(tasks, name);
    if (has < 0) raise_pending();
    if (has) reject(coro, PyExc_ValueError, "Task ", name, " already submitted");
    PyObject *pred = nullptr;  // borrowed from the map
    if (after) {
        pred = PyDict_GetItemWithError(tasks, after);
        if (!pred) {
            if (PyErr_Occurred()) raise_pending();
            reject(coro, PyExc_ValueError, "Predecessor task ", after, " not found");
        }
        if (PyUnicode_GET_LENGTH(after) == 0) pred = nullptr;  // named, but not waited for
    }
    PyObject *loop = running_loop(lane);
    if (!loop) raise_pending();
    nb::object loop_ref = nb::steal(loop);
    if (loop == Py_None) {
        close_quietly(coro);
        PyErr_SetString(PyExc_RuntimeError, "no running event loop");
        raise_pending();
    }

    Job *j = PyObject_GC_New(Job, g_job_type);
    if (!j) raise_pending();
    j->lane = Py_NewRef(self.h.ptr());
    j->coro = Py_NewRef(coro);
    j->after = Py_XNewRef(after);
    j->pred = Py_XNewRef(pred);
    j->sub = j->cancelled = nullptr;
    j->step = Step::fresh;
    j->in_submit = true;
    j->busy = false;
    j->holds_unit = false;
    PyObject_GC_Track(reinterpret_cast<PyObject *>(j));
    nb::object body = nb::steal(reinterpret_cast<PyObject *>(j));

    PyObject *task = create_task(loop, body.ptr(), name);
    j->in_submit = false;
    if (!task) {
        PyObject *exc = fetch_exc();
        close_quietly(coro);
        restore_exc(exc);
        raise_pending();
    }
    nb::object task_ref = nb::steal(task);
    if (PyDict_SetItem(tasks, name, task) < 0) raise_pending();
    if (!lane->on_done.is_valid()) {
        PyObject *cb = PyCFunction_New(&g_on_done_def, self.h.ptr());
        if (!cb) raise_pending();
        lane->on_done = nb::steal(cb);
    }
    PyObject *r = PyObject_CallMethodOneArg(task, g_names.add_done_callback, lane->on_done.ptr());
    if (!r) raise_pending();
    Py_DECREF(r);
    return task_ref;
}

std::size_t lane_cancel_all(Lane &self) {
    PyObject *tasks = self.tasks.ptr();
    if (!tasks) return 0;
    nb::object snapshot = nb::steal(PyDict_Values(tasks));
    if (!snapshot.is_valid()) raise_pending();
    std::size_t count = 0;
    Py_ssize_t n = PyList_GET_SIZE(snapshot.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *task = PyList_GET_ITEM(snapshot.ptr(), i);
        PyObject *d = PyObject_CallMethodNoArgs(task, g_names.done);
        if (!d) raise_pending();
        int done = PyObject_IsTrue(d);
        Py_DECREF(d);
        if (done < 0) raise_pending();
        if (done) continue;
        PyObject *r = PyObject_CallMethodNoArgs(task, g_names.cancel);
        if (!r) raise_pending();
        Py_DECREF(r);
        ++count;
    }
    return count;
}

nb::object lane_wait_all(Lane &self, nb::handle timeout) {
    PyObject *t = timeout.ptr();
    if (t != Py_None && (PyBool_Check(t) || !(PyLong_Check(t) || PyFloat_Check(t))))
        throw nb::type_error(
            (std::string("timeout must be a number, not ") + Py_TYPE(t)->tp_name).c_str());
    WaitAll *w = PyObject_GC_New(WaitAll, g_wait_type);
    if (!w) raise_pending();
    w->tasks = Py_XNewRef(self.tasks.ptr());
    w->timeout = Py_NewRef(t);
    w->sub = nullptr;
    w->started = false;
    w->busy = false;
    PyObject_GC_Track(reinterpret_cast<PyObject *>(w));
    return nb::steal(reinterpret_cast<PyObject *>(w));
}

nb::object field(const nb::object &o) { return o.is_valid() ? o : nb::none(); }

int lane_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    Lane *lane = nb::inst_ptr<Lane>(self);
    Py_VISIT(lane->semaphore.ptr());
    Py_VISIT(lane->tasks.ptr());
    Py_VISIT(lane->max_concurrency.ptr());
    Py_VISIT(lane->sem_dict.ptr());
    Py_VISIT(lane->loop.ptr());
    Py_VISIT(lane->on_done.ptr());
    return 0;
}

int lane_clear(PyObject *self) {
    if (!nb::inst_ready(self)) return 0;
    Lane *lane = nb::inst_ptr<Lane>(self);
    lane->semaphore.reset();
    lane->tasks.reset();
    lane->max_concurrency.reset();
    lane->sem_dict.reset();
    lane->loop.reset();
    lane->on_done.reset();
    return 0;
}

PyType_Slot g_lane_slots[] = {
    {Py_tp_traverse, reinterpret_cast<void *>(lane_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(lane_clear)},
    {0, nullptr}};

PyObject *make_type(PyType_Spec *def) {
    PyObject *t = PyType_FromSpec(def);
    if (!t) raise_pending();
    return t;
}

PyObject *attr_of(const char *module, const char *name) {
    nb::object m = nb::module_::import_(module);
    nb::object a = m.attr(name);
    return a.release().ptr();
}

void init_globals() {
    if (g_job_type) return;
    g_names = Names{
        .add_done_callback = sp::intern("add_done_callback"),
        .remove_done_callback = sp::intern("remove_done_callback"),
        .cancel = sp::intern("cancel"),
        .cancelled = sp::intern("cancelled"),
        .close = sp::intern("close"),
        .create_task = sp::intern("create_task"),
        .done = sp::intern("done"),
        .get_coro = sp::intern("get_coro"),
        .get_name = sp::intern("get_name"),
        .release = sp::intern("release"),
        .result = sp::intern("result"),
        .throw_ = sp::intern("throw"),
        .value = sp::intern("_value"),
        .waiters = sp::intern("_waiters"),
        .acquire = sp::intern("acquire"),
        .task = sp::intern("Task"),
        .task_factory = sp::intern("_task_factory"),
        .thread_id = sp::intern("_thread_id"),
        .get_loop = sp::intern("get_loop"),
        .call_soon = sp::intern("call_soon"),
        .name_kw = nullptr,
        .timeout_kw = nullptr,
        .loop_name_kw = nullptr,
        .context_kw = nullptr};
    g_names.name_kw = nb::make_tuple("name").release().ptr();
    g_zero = PyLong_FromLong(0);
#ifdef SORVEL_RECOGNISE_LOOP
    {
        nb::object hook = nb::steal(PyCFunction_New(&g_after_fork_def, nullptr));
        if (!hook.is_valid()) raise_pending();
        nb::module_::import_("os").attr("register_at_fork")("after_in_child"_a = hook);
    }
#endif
    g_task_type = reinterpret_cast<PyTypeObject *>(attr_of("asyncio", "Task"));
    g_task_get_name = PyObject_GetAttr(reinterpret_cast<PyObject *>(g_task_type), g_names.get_name);
    if (!g_task_get_name) raise_pending();
    g_task_get_coro = PyObject_GetAttr(reinterpret_cast<PyObject *>(g_task_type), g_names.get_coro);
    if (!g_task_get_coro) raise_pending();
    g_coro_close = attr_of("types", "CoroutineType");
    Py_SETREF(g_coro_close, PyObject_GetAttr(g_coro_close, g_names.close));
    if (!g_coro_close) raise_pending();
    g_names.loop_name_kw = nb::make_tuple("loop", "name").release().ptr();
    g_names.context_kw = nb::make_tuple("context").release().ptr();
    g_tasks_module = nb::module_::import_("asyncio.tasks").release().ptr();
    g_base_create_task = attr_of("asyncio.base_events", "BaseEventLoop");
    Py_SETREF(g_base_create_task, PyObject_GetAttr(g_base_create_task, g_names.create_task));
    if (!g_base_create_task) raise_pending();
    g_names.timeout_kw = nb::make_tuple("timeout").release().ptr();
    g_cancelled_error = attr_of("asyncio", "CancelledError");
    g_semaphore = attr_of("asyncio", "Semaphore");
    g_iscoroutine = attr_of("asyncio", "iscoroutine");
    g_wait = attr_of("asyncio", "wait");
    g_running_loop = attr_of("asyncio.events", "_get_running_loop");
    g_wait_type = reinterpret_cast<PyTypeObject *>(make_type(&g_wait_type_def));
    g_job_type = reinterpret_cast<PyTypeObject *>(make_type(&g_job_type_def));
    g_pred_wait_type = reinterpret_cast<PyTypeObject *>(make_type(&g_pw_type_def));
}

constexpr const char *kLaneDoc =
    "A scheduler of named background tasks on one running event loop.\n"
    "\n"
    "At most ``max_concurrency`` submitted coroutines run at the same time; a task\n"
    "may wait for one named predecessor before it asks for a unit. Every task is\n"
    "tracked in ``_tasks`` from ``submit`` until its completion callback has run.\n"
    "\n"
    "A dependant whose predecessor failed or was cancelled (or which was itself\n"
    "cancelled while waiting for its predecessor) ends cancelled without running\n"
    "its coroutine. The first await of its handle (or the first ``result()``)\n"
    "raises ``asyncio.CancelledError`` whose ``args[0]`` is\n"
    "``\"Predecessor \" + repr(after) + \" failed\"`` and whose ``__cause__`` is the\n"
    "predecessor's error or the cancellation; later awaits raise a bare\n"
    "``CancelledError``, as asyncio does for any task's own cancellation.\n"
    "(Python 3.10's asyncio hands over a bare ``CancelledError`` from the first\n"
    "await too; the message and cause are then on its ``__context__``.)\n"
    "Cancelling a task that waits for its predecessor leaves the predecessor\n"
    "running.";

}  // namespace

NB_MODULE(job_lane, m) {
    sp::init();
    init_globals();
    m.attr("logger") = sp::get_logger("sorvel_layer._internal.job_lane");

    nb::class_<Lane>(m, "JobLane", nb::type_slots(g_lane_slots), kLaneDoc)
        .def("__init__", &lane_init, "max_concurrency"_a.none() = 2,
             nb::sig("def __init__(self, max_concurrency: int = 2) -> None"),
             "A lane with an empty map; ``max_concurrency`` must be at least 1.")
        .def("submit", &lane_submit, "name"_a.none(), "coro"_a.none(), nb::kw_only(), "after"_a.none() = nb::none(),
             nb::sig("def submit(self, name: str, coro: collections.abc.Coroutine[typing.Any, "
                     "typing.Any, typing.Any], *, after: str | None = None) -> "
                     "asyncio.Task[typing.Any]"),
             "Run ``coro`` as the task ``name`` and return its handle. With ``after``,\n"
             "the task waits for that tracked task first (not for ``\"\"``). A refused\n"
             "submission closes ``coro``. Needs a running event loop.")
        .def_prop_ro("active_count",
                     [](Lane &self) -> std::size_t {
                         return self.tasks.is_valid()
                                    ? static_cast<std::size_t>(PyDict_GET_SIZE(self.tasks.ptr()))
                                    : 0;
                     },
                     "The number of tracked tasks (including finished ones whose completion "
                     "callback has not run yet).")
        .def("cancel_all", &lane_cancel_all,
             "Request the cancellation of every tracked task that is not done; return "
             "how many were asked.")
        .def("wait_all", &lane_wait_all, "timeout"_a.none() = nb::none(),
             nb::sig("def wait_all(self, timeout: float | None = None) -> "
                     "collections.abc.Awaitable[None]"),
             "Awaitable: wait until the tasks tracked when it starts have finished, or "
             "until ``timeout`` seconds have passed. Never raises their outcomes.")
        .def_prop_ro("_semaphore", [](Lane &self) { return field(self.semaphore); })
        .def_prop_ro("_tasks", [](Lane &self) { return field(self.tasks); })
        .def_prop_ro("_max_concurrency", [](Lane &self) { return field(self.max_concurrency); });

    m.attr("__all__") = sp::names({"JobLane"});
}
