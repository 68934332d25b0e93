// job_lane: named background tasks on the host's event loop. At most
// `max_concurrency` submitted coroutines run at once, and a task may wait for
// one named predecessor before it asks for a unit.
//
// Only asyncio's public interface is used: tasks come from the loop's
// create_task(), every wait parks on a future made by loop.create_future(),
// and the units are the lane's own first-come-first-served count.
//
// The file reads in the order of the lane's life: the coroutine protocol
// shared by the native awaitables, the units, construction, submit(), the
// task body, the completion callback, cancel_all() and wait_all().
#include <nanobind/nanobind.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <new>
#include <vector>

#include "common/py.hpp"

namespace nb = nanobind;
using namespace nb::literals;
namespace sp = sorvel::py;

namespace {

// --- module-level objects, created while the module loads and never changed or
// released afterwards ------------------------------------------------------------

struct State {
    // asyncio's
    PyObject *cancelled_error, *invalid_state_error, *iscoroutine, *get_running_loop, *wait;
    PyTypeObject *job_type, *wait_all_type;  // the task body; what wait_all() returns
    // method and attribute names; ("name",) and ("timeout",) for keyword calls
    PyObject *add_done_callback, *remove_done_callback, *cancel, *cancelled, *close, *create_future,
        *create_task, *cr_await, *done, *exception, *get_coro, *get_name, *set_result, *throw_, *value;
    PyObject *name_kw, *timeout_kw;
};
const State *g = nullptr;

// --- errors and calls ------------------------------------------------------------

[[noreturn]] void raise_pending() { throw nb::python_error(); }

// A new reference as an object; a null one raises the pending error.
nb::object checked(PyObject *o) {
    if (!o) raise_pending();
    return nb::steal(o);
}

nb::object call(PyObject *obj, PyObject *name, PyObject *arg = nullptr) {
    return checked(arg ? PyObject_CallMethodOneArg(obj, name, arg) : PyObject_CallMethodNoArgs(obj, name));
}

nb::object attr(PyObject *obj, PyObject *name) { return checked(PyObject_GetAttr(obj, name)); }

bool truth(PyObject *obj, PyObject *name) {
    int v = PyObject_IsTrue(call(obj, name).ptr());
    if (v < 0) raise_pending();
    return v;
}

// The pending exception as a normalised instance (new reference).
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

// Runs clean-up `f` while an exception may be pending: that exception is
// kept, and a failure of the clean-up itself is reported as unraisable.
template <class F> void keeping_pending(F &&f) {
    PyObject *exc = PyErr_Occurred() ? fetch_exc() : nullptr;
    try {
        f();
    } catch (nb::python_error &e) {
        e.discard_as_unraisable(nb::handle());
    }
    if (exc) restore_exc(exc);
}

// The str repr of a name, as the messages quote it.
nb::object quoted(PyObject *text) { return checked(PyUnicode_Type.tp_repr(text)); }

// --- the coroutine protocol of the native awaitables ------------------------------
//
// The task body and wait_all()'s awaitable are both chains of sub-iterators
// driven as `yield from` drives one: values, exceptions and cancellations
// pass through to the sub-iterator under way, and whenever it ends (or there
// is none: the first step, or a throw before it) the awaitable's `stage`
// decides what comes next. A stage returns the awaitable's own result or
// error, or installs the next sub-iterator (PYGEN_NEXT with *res null), or
// yields *res itself. A stage may throw nb::python_error.

struct Coro;
using Stage = PySendResult (*)(Coro *, PySendResult, PyObject **);

struct Coro {
    PyObject_HEAD
    Stage stage;
    PyObject *sub;  // the sub-iterator under way, or null
    std::atomic<bool> busy;  // a step is under way
    bool started, finished;
};
static_assert(std::atomic<bool>::is_always_lock_free);  // a plain byte in the object

void coro_init(Coro *c, Stage stage) {
    c->stage = stage;
    c->sub = nullptr;
    // The interpreter allocated the object: the flag's life starts here.
    new (&c->busy) std::atomic<bool>(false);
    c->started = c->finished = false;
}

// The iterator that `await obj` steps through.
PyObject *await_iter(PyObject *obj) {
    if (PyCoro_CheckExact(obj)) return Py_NewRef(obj);
    PyAsyncMethods *am = Py_TYPE(obj)->tp_as_async;
    PyObject *it = am && am->am_await ? am->am_await(obj) : PyObject_CallMethod(obj, "__await__", nullptr);
    if (it && !PyIter_Check(it)) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                     Py_TYPE(it)->tp_name);
        Py_CLEAR(it);
    }
    return it;
}

// it.name(arg) when `it` has such a method; `missing` when it has none.
PyObject *call_optional(PyObject *it, PyObject *name, PyObject *arg, PyObject *missing) {
    if (PyCoro_CheckExact(it))  // has them all: no bound method needed
        return arg ? PyObject_CallMethodOneArg(it, name, arg) : PyObject_CallMethodNoArgs(it, name);
    PyObject *meth = PyObject_GetAttr(it, name);
    if (!meth && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        return Py_XNewRef(missing);
    }
    PyObject *r = meth ? (arg ? PyObject_CallOneArg(meth, arg) : PyObject_CallNoArgs(meth)) : nullptr;
    Py_XDECREF(meth);
    return r;
}

// Closes `it` when it can be closed; -1 with the error set.
int close_iter(PyObject *it) {
    PyObject *r = call_optional(it, g->close, nullptr, Py_None);
    Py_XDECREF(r);
    return r ? 0 : -1;
}

// Throws `exc` (borrowed) into the sub-iterator `it`; GeneratorExit closes it
// instead, as `yield from` does.
PySendResult throw_into(PyObject *it, PyObject *exc, PyObject **res) {
    if (PyErr_GivenExceptionMatches(exc, PyExc_GeneratorExit)) {
        if (close_iter(it) == 0) restore_exc(Py_NewRef(exc));
        return PYGEN_ERROR;
    }
    if ((*res = call_optional(it, g->throw_, exc, nullptr))) return PYGEN_NEXT;
    if (!PyErr_Occurred()) {  // nothing to throw into: the exception goes on
        restore_exc(Py_NewRef(exc));
        return PYGEN_ERROR;
    }
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return PYGEN_ERROR;
    PyObject *stop = fetch_exc();
    *res = PyObject_GetAttr(stop, g->value);
    Py_DECREF(stop);
    return *res ? PYGEN_RETURN : PYGEN_ERROR;
}

// Claims `c` for a step (or its completion callback); false with ValueError
// when it is claimed already: a re-entry, or a second thread.
bool claim(Coro *c) {
    if (!c->busy.exchange(true, std::memory_order_acquire)) return true;
    PyErr_SetString(PyExc_ValueError, "coroutine already executing");
    return false;
}

void unclaim(Coro *c) { c->busy.store(false, std::memory_order_release); }

enum class Input { send, throw_, close };

// One step of `c`: `arg` sent in, the exception `arg` thrown in, or a close.
PySendResult drive(Coro *c, Input how, PyObject *arg, PyObject **res) {
    *res = nullptr;
    if (!claim(c)) return PYGEN_ERROR;
    Py_INCREF(c);
    c->started = true;
    PySendResult r = PYGEN_ERROR;
    PyObject *sub = Py_XNewRef(c->sub);
    if (c->finished && how == Input::send)
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
    else if (how == Input::send)
        r = sub ? PyIter_Send(sub, arg, res) : (*res = Py_NewRef(Py_None), PYGEN_RETURN);
    else if (how == Input::throw_)
        r = sub && !c->finished ? throw_into(sub, arg, res) : (restore_exc(Py_NewRef(arg)), PYGEN_ERROR);
    else if (!sub || close_iter(sub) == 0)
        PyErr_SetNone(PyExc_GeneratorExit);
    Py_XDECREF(sub);
    while (r != PYGEN_NEXT && !c->finished) {
        Py_CLEAR(c->sub);
        try {
            r = c->stage(c, r, res);
        } catch (nb::python_error &e) {
            Py_CLEAR(*res);
            e.restore();
            r = PYGEN_ERROR;
        }
        if (r != PYGEN_NEXT) c->finished = true;
        else if (*res) break;  // the stage yields a value of its own
        else r = PyIter_Send(c->sub, Py_None, res);
    }
    if (how == Input::close && r == PYGEN_NEXT) {
        Py_CLEAR(*res);
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        r = PYGEN_ERROR;
    } else if (how == Input::close && (r != PYGEN_ERROR || PyErr_ExceptionMatches(PyExc_GeneratorExit))) {
        PyErr_Clear();
        Py_XSETREF(*res, Py_NewRef(Py_None));
        r = PYGEN_RETURN;
    }
    unclaim(c);
    Py_DECREF(c);
    return r;
}

// Ends a send/iternext call: a yielded value is returned, a return value is
// raised as a StopIteration instance (so tuples and exceptions survive).
PyObject *finish_call(PySendResult r, PyObject *res) {
    if (r != PYGEN_RETURN) return res;  // the yielded value, or null on error
    PyObject *stop = PyObject_CallOneArg(PyExc_StopIteration, res);
    Py_DECREF(res);
    if (stop) PyErr_SetObject(PyExc_StopIteration, stop);
    Py_XDECREF(stop);
    return nullptr;
}

PySendResult coro_am_send(PyObject *self, PyObject *arg, PyObject **res) {
    return drive(reinterpret_cast<Coro *>(self), Input::send, arg, res);
}

PyObject *coro_iternext(PyObject *self) {
    PyObject *res = nullptr;
    PySendResult r = coro_am_send(self, Py_None, &res);
    return finish_call(r, res);
}

PyObject *coro_send(PyObject *self, PyObject *arg) {
    if (!reinterpret_cast<Coro *>(self)->started && arg != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
        return nullptr;
    }
    PyObject *res = nullptr;
    PySendResult r = coro_am_send(self, arg, &res);
    return finish_call(r, res);
}

// throw(exc) as asyncio calls it, or the older throw(typ[, val[, tb]]).
PyObject *coro_throw(PyObject *self, PyObject *const *args, Py_ssize_t n) {
    PyObject *typ = n ? args[0] : nullptr, *val = n > 1 ? args[1] : Py_None;
    PyObject *exc = nullptr;
    if (n < 1 || n > 3)
        PyErr_Format(PyExc_TypeError, "throw expected 1 to 3 arguments, got %zd", n);
    else if (PyExceptionInstance_Check(typ) && val == Py_None)
        exc = Py_NewRef(typ);
    else if (PyExceptionClass_Check(typ))
        PyErr_SetObject(typ, val), exc = fetch_exc();  // built as `raise typ(val)` would
    else
        PyErr_SetString(PyExc_TypeError, "exceptions must be classes or instances deriving from "
                                         "BaseException");
    if (exc && n == 3 && args[2] != Py_None && PyException_SetTraceback(exc, args[2]) < 0)
        Py_CLEAR(exc);
    if (!exc) return nullptr;
    PyObject *res = nullptr;
    PySendResult r = drive(reinterpret_cast<Coro *>(self), Input::throw_, exc, &res);
    Py_DECREF(exc);
    return finish_call(r, res);
}

PyObject *coro_close(PyObject *self, PyObject *) {
    PyObject *res = nullptr;
    return drive(reinterpret_cast<Coro *>(self), Input::close, nullptr, &res) == PYGEN_ERROR ? nullptr : res;
}

PyObject *coro_await(PyObject *self) { return Py_NewRef(self); }

void coro_dealloc(PyObject *self) {
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    tp->tp_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyMethodDef kCoroMethods[] = {
    {"send", coro_send, METH_O, "send($self, value, /)\n--\n\nSend a value in; return the next "
                                "yielded value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coro_throw)), METH_FASTCALL,
     "throw($self, typ, val=None, tb=None, /)\n--\n\nRaise an exception at the current wait."},
    {"close", coro_close, METH_NOARGS, "close($self, /)\n--\n\nEnd the wait under way."},
    {nullptr, nullptr, 0, nullptr}};

// A heap type with the coroutine protocol above plus `slots` of its own
// (which give at least tp_traverse and tp_clear).
PyTypeObject *coroutine_type(const char *name, std::size_t size, std::vector<PyType_Slot> slots) {
    slots.insert(slots.end(), {{Py_tp_dealloc, reinterpret_cast<void *>(coro_dealloc)},
                               {Py_tp_iter, reinterpret_cast<void *>(PyObject_SelfIter)},
                               {Py_tp_iternext, reinterpret_cast<void *>(coro_iternext)},
                               {Py_tp_methods, kCoroMethods},
                               {Py_am_await, reinterpret_cast<void *>(coro_await)},
                               {Py_am_send, reinterpret_cast<void *>(coro_am_send)},
                               {0, nullptr}});
    PyType_Spec type_spec = {name, static_cast<int>(size), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                             slots.data()};
    return reinterpret_cast<PyTypeObject *>(checked(PyType_FromSpec(&type_spec)).release().ptr());
}

// --- the units (`_semaphore`) -------------------------------------------------------
//
// A count of free units and the futures of the tasks that wait for one, oldest
// first. A unit that comes back goes to the oldest waiter still waiting (its
// future gets a result), else back to the count; so while a unit is free,
// nobody waits.

constexpr long long kUnlimited = 1LL << 62;  // more units than tasks could ever exist

struct Units {
    long long free = 0;
    std::deque<nb::object> waiters;
    nb::ft_mutex mutex;  // guards the two fields; never held while Python runs
};

// True: a free unit is now held. False: `fut` is a new future, queued, that
// gets a result when a unit is handed to it.
bool take_unit(Units *u, PyObject *loop, nb::object &fut) {
    {
        nb::ft_lock_guard guard(u->mutex);
        if (u->free > 0) return --u->free, true;
    }
    fut = call(loop, g->create_future);
    nb::ft_lock_guard guard(u->mutex);
    u->waiters.push_back(fut);
    return false;
}

void give_back(Units *u) {
    keeping_pending([u] {
        for (;;) {
            nb::object fut;
            {
                nb::ft_lock_guard guard(u->mutex);
                if (u->waiters.empty()) return void(++u->free);
                fut = std::move(u->waiters.front());
                u->waiters.pop_front();
            }
            if (!truth(fut.ptr(), g->done)) return void(call(fut.ptr(), g->set_result, Py_None));
        }
    });
}

int units_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (nb::inst_ready(self))
        for (nb::object &fut : nb::inst_ptr<Units>(self)->waiters) Py_VISIT(fut.ptr());
    return 0;
}

int units_clear(PyObject *self) {
    std::deque<nb::object> gone;  // released after the lock
    if (nb::inst_ready(self)) {
        Units *u = nb::inst_ptr<Units>(self);
        nb::ft_lock_guard guard(u->mutex);
        gone.swap(u->waiters);
    }
    return 0;
}

PyType_Slot kUnitsSlots[] = {{Py_tp_traverse, reinterpret_cast<void *>(units_traverse)},
                             {Py_tp_clear, reinterpret_cast<void *>(units_clear)},
                             {0, nullptr}};

// --- the lane and its construction ----------------------------------------------------

struct Lane {
    nb::object units_obj;        // `_semaphore` (kept to the end: bodies return units to it)
    nb::object tasks;            // `_tasks`: name -> task, in insertion order
    nb::object max_concurrency;  // `_max_concurrency`
    Units *units;                // the object of `units_obj`
};

Lane *lane_of(PyObject *lane) { return nb::inst_ptr<Lane>(lane); }

void lane_init(Lane *self, nb::handle max_concurrency) {
    nb::object limit = sp::require_integer(max_concurrency, "max_concurrency", sp::Bools::Refuse);
    PyObject *n = limit.ptr();
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(n, &overflow);
    if (overflow < 0 || (overflow == 0 && v < 0)) throw nb::value_error("Semaphore initial value must be >= 0");
    if (overflow == 0 && v < 1) throw nb::value_error("max_concurrency must be at least 1");
    auto *units = new Units();
    units->free = overflow > 0 || v > kUnlimited ? kUnlimited : v;
    nb::object units_obj = nb::cast(units, nb::rv_policy::take_ownership);
    new (self) Lane{std::move(units_obj), nb::dict(), nb::borrow(n), units};
}

int lane_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    for (nb::object *o : {&lane_of(self)->units_obj, &lane_of(self)->tasks, &lane_of(self)->max_concurrency})
        Py_VISIT(o->ptr());
    return 0;
}

int lane_clear(PyObject *self) {
    if (nb::inst_ready(self)) lane_of(self)->tasks.reset(), lane_of(self)->max_concurrency.reset();
    return 0;
}

PyType_Slot kLaneSlots[] = {{Py_tp_traverse, reinterpret_cast<void *>(lane_traverse)},
                            {Py_tp_clear, reinterpret_cast<void *>(lane_clear)},
                            {0, nullptr}};

// --- submit ------------------------------------------------------------------------

PyObject *new_job(PyObject *lane, PyObject *loop, PyObject *coro, PyObject *name, PyObject *after,
                  PyObject *pred);
void set_deferred(PyObject *job, bool deferred);
PyObject *on_done(PyObject *job, PyObject *task);
PyMethodDef kOnDoneDef = {"_on_done", on_done, METH_O, nullptr};

void close_quietly(PyObject *coro) {
    keeping_pending([coro] {
        if (close_iter(coro) < 0) PyErr_Clear();
    });
}

// Closes `coro` and raises ValueError "<prefix><quoted text><suffix>".
[[noreturn]] void reject(PyObject *coro, const char *prefix, PyObject *text, const char *suffix) {
    close_quietly(coro);
    PyErr_SetObject(PyExc_ValueError, checked(PyUnicode_FromFormat("%s%U%s", prefix, quoted(text).ptr(), suffix)).ptr());
    raise_pending();
}

// d[key] as a new reference; null without an error when the key is absent.
PyObject *dict_get(PyObject *d, PyObject *key) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject *v = nullptr;
    PyDict_GetItemRef(d, key, &v);
    return v;
#else
    return Py_XNewRef(PyDict_GetItemWithError(d, key));
#endif
}

nb::object lane_submit(nb::pointer_and_handle<Lane> self, nb::handle name_h, nb::handle coro_h,
                       nb::handle after_h) {
    PyObject *name = name_h.ptr(), *coro = coro_h.ptr(), *after = after_h.ptr();
    bool is_coro = PyCoro_CheckExact(coro) || PyObject_IsTrue(checked(PyObject_CallOneArg(g->iscoroutine, coro)).ptr()) > 0;
    // A refused coroutine is closed, so that it is not left behind unstarted.
    if (!PyUnicode_Check(name)) {
        if (is_coro) close_quietly(coro);
        sp::require_str(name_h, "name");
    }
    if (!is_coro) sp::wrong_kind("coro", "a coroutine", coro_h);
    if (after == Py_None) {
        after = nullptr;
    } else if (!PyUnicode_Check(after)) {
        close_quietly(coro);
        sp::require_str(after_h, "after");
    }
    PyObject *tasks = self.p->tasks.ptr();
    if (!tasks) close_quietly(coro), throw nb::type_error("the lane has been torn down");
    int has = PyDict_Contains(tasks, name);
    if (has < 0) raise_pending();
    if (has) reject(coro, "Task ", name, " already submitted");
    nb::object pred;
    if (after) {
        pred = nb::steal(dict_get(tasks, after));
        if (!pred.is_valid() && PyErr_Occurred()) raise_pending();
        if (!pred.is_valid()) reject(coro, "Predecessor task ", after, " not found");
        if (PyUnicode_GET_LENGTH(after) == 0) pred.reset();  // named, but not waited for
    }
    PyObject *loop = PyObject_CallNoArgs(g->get_running_loop);
    if (!loop) close_quietly(coro);
    nb::object loop_ref = checked(loop);
    nb::object body = checked(new_job(self.h.ptr(), loop, coro, name, after, pred.ptr()));

    // An eager task factory steps the body inside create_task(); the body
    // then only yields, and the work starts at a later turn of the loop.
    set_deferred(body.ptr(), true);
    PyObject *args[3] = {loop, body.ptr(), name};
    PyObject *task = PyObject_VectorcallMethod(g->create_task, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, g->name_kw);
    set_deferred(body.ptr(), false);
    if (!task) close_quietly(coro);
    nb::object task_ref = checked(task);
    if (PyDict_SetItem(tasks, name, task) < 0) raise_pending();
    call(task, g->add_done_callback, checked(PyCFunction_New(&kOnDoneDef, body.ptr())).ptr());
    return task_ref;
}

// --- the task body (`_wrapper`) ----------------------------------------------------------
//
// It waits for the predecessor (when there is one), then for a unit, then
// runs the submitted coroutine holding that unit, and returns the unit on
// every way out.

enum class Phase : std::uint8_t { fresh, waiting_predecessor, waiting_unit, running, over };

struct Job {
    Coro head;
    PyObject *lane;       // the JobLane (dropped by the completion callback)
    PyObject *loop;       // the loop whose futures the body waits on
    PyObject *coro;       // the submitted coroutine (kept for the repr)
    PyObject *name;       // the name it was submitted under
    PyObject *after;      // the predecessor's name, or null
    PyObject *pred;       // the predecessor's task until its outcome is read
    PyObject *wait;       // the future the body is parked on, or null
    PyObject *relay;      // registered on the predecessor while waiting for it
    PyObject *cancelled;  // the cancellation that ended the body, for dependants
    Phase phase;
    bool deferred;  // the task is being created: do not start yet
    bool holds_unit;
    bool ran_coro;  // the body has stepped the submitted coroutine
};

Job *job_of(PyObject *o) { return reinterpret_cast<Job *>(o); }

void set_deferred(PyObject *job, bool deferred) { job_of(job)->deferred = deferred; }

void return_unit(Job *j) {
    if (j->holds_unit && j->lane) give_back(lane_of(j->lane)->units);
    j->holds_unit = false;
}

// The pending exception, when it is an error or a cancellation, becomes the
// cancellation "Predecessor <after> failed" caused by it; interrupts
// (KeyboardInterrupt, SystemExit, GeneratorExit) go on as they are.
PySendResult predecessor_failed(Job *j) {
    nb::object cause = nb::steal(fetch_exc());
    if (!PyErr_GivenExceptionMatches(cause.ptr(), PyExc_Exception) &&
        !PyErr_GivenExceptionMatches(cause.ptr(), g->cancelled_error))
        return restore_exc(cause.release().ptr()), PYGEN_ERROR;
    nb::object msg = checked(PyUnicode_FromFormat("Predecessor %U failed", quoted(j->after).ptr()));
    PyObject *e = checked(PyObject_CallOneArg(g->cancelled_error, msg.ptr())).release().ptr();
    PyException_SetContext(e, Py_NewRef(cause.ptr()));
    PyException_SetCause(e, cause.release().ptr());
    restore_exc(e);
    return PYGEN_ERROR;
}

// Reads the predecessor's outcome: false while it still runs; true after a
// result; otherwise the "Predecessor ... failed" cancellation (or an
// interrupt) is raised. A cancellation is read from the predecessor's own
// body, which kept the exact object, so that the first await of its handle
// still receives it. (exception() refuses a task that still runs.)
bool predecessor_finished(Job *j) {
    PyObject *exc = nullptr;
    if (truth(j->pred, g->cancelled)) {
        nb::object body = call(j->pred, g->get_coro);
        exc = Py_TYPE(body.ptr()) == g->job_type ? Py_XNewRef(job_of(body.ptr())->cancelled) : nullptr;
        exc = exc ? exc : checked(PyObject_CallNoArgs(g->cancelled_error)).release().ptr();
    } else if (!(exc = PyObject_CallMethodNoArgs(j->pred, g->exception))) {
        if (!PyErr_ExceptionMatches(g->invalid_state_error)) raise_pending();
        PyErr_Clear();
        return false;
    }
    Py_CLEAR(j->pred);
    if (exc == Py_None) return Py_DECREF(exc), true;
    restore_exc(exc);
    predecessor_failed(j);
    raise_pending();
}


// The predecessor finished: the relay (bound to the dependant's future)
// completes that future unless the dependant gave up on it.
PyObject *relay(PyObject *fut, PyObject *) try {
    if (!truth(fut, g->done)) call(fut, g->set_result, Py_None);
    Py_RETURN_NONE;
} catch (nb::python_error &e) {
    e.restore();
    return nullptr;
}
PyMethodDef kRelayDef = {"_relay", relay, METH_O, nullptr};

// Starts delegating to the submitted coroutine, unless someone else is
// already awaiting it: then the task fails as `await` would.
PySendResult start_running(Job *j) {
    if (PyCoro_CheckExact(j->coro) && !attr(j->coro, g->cr_await).is_none())
        return PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already"), PYGEN_ERROR;
    j->head.sub = checked(await_iter(j->coro)).release().ptr();
    j->phase = Phase::running;
    j->ran_coro = true;
    return PYGEN_NEXT;
}

PySendResult take_unit_then_run(Job *j) {
    if (!j->lane) PyErr_SetString(PyExc_RuntimeError, "the lane's task is over"), raise_pending();
    nb::object fut;
    if (take_unit(lane_of(j->lane)->units, j->loop, fut)) {
        j->holds_unit = true;
        return start_running(j);
    }
    j->phase = Phase::waiting_unit;
    j->head.sub = checked(await_iter(fut.ptr())).release().ptr();
    j->wait = fut.release().ptr();
    return PYGEN_NEXT;
}

// Waits for the predecessor when it still runs: the body parks on a future
// of its own that the predecessor's completion resolves, so cancelling the
// wait leaves the predecessor alone. Then it asks for a unit.
PySendResult after_predecessor(Job *j) {
    if (!j->pred || predecessor_finished(j)) return take_unit_then_run(j);
    nb::object fut = call(j->loop, g->create_future);
    nb::object cb = checked(PyCFunction_New(&kRelayDef, fut.ptr()));
    call(j->pred, g->add_done_callback, cb.ptr());
    j->head.sub = checked(await_iter(fut.ptr())).release().ptr();
    j->wait = fut.release().ptr();
    j->relay = cb.release().ptr();
    j->phase = Phase::waiting_predecessor;
    return PYGEN_NEXT;
}

PySendResult job_advance(Job *j, PySendResult r, PyObject **res) {
    if (r == PYGEN_RETURN && j->phase != Phase::running) Py_CLEAR(*res);
    switch (j->phase) {
    case Phase::fresh:
        // An exception before the first step comes straight out, as from a
        // coroutine that has not begun; coro is left to the completion callback.
        if (r == PYGEN_ERROR) return r;
        if (j->deferred) return *res = Py_NewRef(Py_None), PYGEN_NEXT;
        return after_predecessor(j);
    case Phase::waiting_predecessor:
        if (r == PYGEN_ERROR) {  // this task was cancelled while it waited: its relay is taken back
            keeping_pending([j] { call(j->pred, g->remove_done_callback, j->relay); });
            Py_CLEAR(j->pred);
        }
        Py_CLEAR(j->relay);
        Py_CLEAR(j->wait);
        if (r == PYGEN_ERROR) return predecessor_failed(j);
        return after_predecessor(j);
    case Phase::waiting_unit:
        if (r == PYGEN_ERROR) {
            // A unit handed over at this very moment passes on to the next
            // waiter; a wait still pending is withdrawn.
            keeping_pending([j] {
                nb::object fut = nb::steal(j->wait);
                j->wait = nullptr;
                if (!truth(fut.ptr(), g->done)) call(fut.ptr(), g->cancel);
                else if (!truth(fut.ptr(), g->cancelled)) j->holds_unit = true;  // returned below
            });
            return r;
        }
        Py_CLEAR(j->wait);
        j->holds_unit = true;
        return start_running(j);
    case Phase::running:
        return r;  // the unit is returned below
    case Phase::over:
        break;
    }
    PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
    return PYGEN_ERROR;
}

// The body's stage: the step above. Once the body ends, whatever way, its
// unit is returned and the cancellation that ended it is kept for dependants.
PySendResult job_stage(Coro *c, PySendResult r, PyObject **res) {
    Job *j = reinterpret_cast<Job *>(c);
    try {
        r = job_advance(j, r, res);
    } catch (nb::python_error &e) {
        e.restore();
        r = PYGEN_ERROR;
    }
    if (r == PYGEN_NEXT) return r;
    j->phase = Phase::over;
    return_unit(j);
    if (r == PYGEN_ERROR && PyErr_ExceptionMatches(g->cancelled_error)) {
        PyObject *e = fetch_exc();
        Py_XSETREF(j->cancelled, Py_NewRef(e));
        restore_exc(e);
    }
    return r;
}

PyObject *new_job(PyObject *lane, PyObject *loop, PyObject *coro, PyObject *name, PyObject *after,
                  PyObject *pred) {
    Job *j = PyObject_GC_New(Job, g->job_type);
    if (!j) return nullptr;
    coro_init(&j->head, job_stage);
    j->lane = Py_NewRef(lane);
    j->loop = Py_NewRef(loop);
    j->coro = Py_NewRef(coro);
    j->name = Py_NewRef(name);
    j->after = Py_XNewRef(after);
    j->pred = Py_XNewRef(pred);
    j->wait = j->relay = j->cancelled = nullptr;
    j->phase = Phase::fresh;
    j->deferred = j->holds_unit = j->ran_coro = false;
    PyObject_GC_Track(j);
    return reinterpret_cast<PyObject *>(j);
}

// What asyncio shows of a task's coroutine comes from the submitted one: the
// body passes on its names, code, frame and current await.
PyObject *job_forward(PyObject *self, void *attr) {
    PyObject *coro = job_of(self)->coro;
    PyObject *v = coro ? PyObject_GetAttrString(coro, static_cast<const char *>(attr)) : nullptr;
    if (v || (coro && !PyErr_ExceptionMatches(PyExc_AttributeError))) return v;
    PyErr_Clear();
    Py_RETURN_NONE;
}

PyObject *job_repr(PyObject *self) {
    Job *j = job_of(self);
    if (!j->name || !j->coro) return PyUnicode_FromString("<JobLane._wrapper>");
    return PyUnicode_FromFormat("<JobLane._wrapper name=%R coro=%R>", j->name, j->coro);
}

int job_traverse(PyObject *self, visitproc visit, void *arg) {
    Job *j = job_of(self);
    Py_VISIT(Py_TYPE(self));
    for (PyObject *o : {j->head.sub, j->lane, j->loop, j->coro, j->name, j->after, j->pred, j->wait,
                        j->relay, j->cancelled})
        Py_VISIT(o);
    return 0;
}

int job_clear(PyObject *self) {
    Job *j = job_of(self);
    for (PyObject **o : {&j->head.sub, &j->lane, &j->loop, &j->coro, &j->name, &j->after, &j->pred,
                         &j->wait, &j->relay, &j->cancelled})
        Py_CLEAR(*o);
    j->holds_unit = false;
    return 0;
}

char kName[] = "__name__", kQualname[] = "__qualname__", kCode[] = "cr_code", kFrame[] = "cr_frame",
     kAwait[] = "cr_await";

PyGetSetDef kJobGetSet[] = {{kName, job_forward, nullptr, nullptr, kName},
                            {kQualname, job_forward, nullptr, nullptr, kQualname},
                            {kCode, job_forward, nullptr, nullptr, kCode},
                            {kFrame, job_forward, nullptr, nullptr, kFrame},
                            {kAwait, job_forward, nullptr, nullptr, kAwait},
                            {nullptr, nullptr, nullptr, nullptr, nullptr}};

// --- the completion callback (`_on_done`) ---------------------------------------------

// Untracks the task and closes its coroutine, which discards one that never
// started and leaves a finished one as it is. A coroutine that this body
// never ran and that someone else is awaiting is not the lane's to close.
PyObject *on_done(PyObject *self, PyObject *task) try {
    Job *j = job_of(self);
    nb::object keep = nb::borrow(self), name = call(task, g->get_name);
    // A body that its task no longer drives (a task factory may leave it
    // behind) ends here, returning whatever it holds.
    if (!j->head.finished) call(self, g->close);
    if (!claim(&j->head)) raise_pending();
    struct Unclaim {
        Coro *c;
        ~Unclaim() { unclaim(c); }
    } unclaim_at_exit{&j->head};
    PyObject *tasks = j->lane ? lane_of(j->lane)->tasks.ptr() : nullptr;
    if (tasks && PyDict_DelItem(tasks, name.ptr()) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) raise_pending();
        PyErr_Clear();  // already gone: nothing to do
    }
    bool foreign = j->coro && !j->ran_coro && PyCoro_CheckExact(j->coro) &&
                   !attr(j->coro, g->cr_await).is_none();
    int rc = j->coro && !foreign ? close_iter(j->coro) : 0;
    // The task is over: drop what tied it to the lane and to its predecessor.
    for (PyObject **o : {&j->lane, &j->loop, &j->after, &j->pred}) Py_CLEAR(*o);
    if (rc < 0) raise_pending();
    Py_RETURN_NONE;
} catch (nb::python_error &e) {
    e.restore();
    return nullptr;
}

// --- cancel_all and wait_all --------------------------------------------------------------

std::size_t lane_cancel_all(Lane &self) {
    if (!self.tasks.is_valid()) return 0;
    std::size_t count = 0;
    for (nb::handle task : checked(PyDict_Values(self.tasks.ptr()))) {  // a snapshot
        if (truth(task.ptr(), g->done)) continue;
        call(task.ptr(), g->cancel);
        ++count;
    }
    return count;
}

// What wait_all() returns: at its first step it takes the snapshot of the
// tracked tasks and waits for them with asyncio.wait().
struct WaitAll {
    Coro head;
    PyObject *tasks;    // the lane's map until the first step
    PyObject *timeout;  // None: no limit
};

PySendResult wait_all_stage(Coro *c, PySendResult r, PyObject **res) {
    WaitAll *w = reinterpret_cast<WaitAll *>(c);
    if (!w->tasks) {  // the wait has ended; its (done, pending) sets are not ours to give
        if (r == PYGEN_RETURN) Py_SETREF(*res, Py_NewRef(Py_None));
        return r;
    }
    nb::object tasks = nb::steal(w->tasks);
    w->tasks = nullptr;
    if (r == PYGEN_ERROR || PyDict_GET_SIZE(tasks.ptr()) == 0) return r;  // *res is None
    Py_CLEAR(*res);
    nb::object snapshot = checked(PyDict_Values(tasks.ptr()));
    PyObject *args[2] = {snapshot.ptr(), w->timeout};
    c->sub = checked(await_iter(checked(PyObject_Vectorcall(g->wait, args, 1, g->timeout_kw)).ptr())).release().ptr();
    return PYGEN_NEXT;
}

int wait_all_traverse(PyObject *self, visitproc visit, void *arg) {
    WaitAll *w = reinterpret_cast<WaitAll *>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(w->head.sub);
    Py_VISIT(w->tasks);
    Py_VISIT(w->timeout);
    return 0;
}

int wait_all_clear(PyObject *self) {
    WaitAll *w = reinterpret_cast<WaitAll *>(self);
    Py_CLEAR(w->head.sub);
    Py_CLEAR(w->tasks);
    Py_CLEAR(w->timeout);
    return 0;
}

nb::object lane_wait_all(Lane &self, nb::handle timeout) {
    PyObject *t = timeout.ptr();
    if (t != Py_None && (PyBool_Check(t) || !(PyLong_Check(t) || PyFloat_Check(t))))
        sp::wrong_kind("timeout", "a number", timeout);
    WaitAll *w = PyObject_GC_New(WaitAll, g->wait_all_type);
    if (!w) raise_pending();
    coro_init(&w->head, wait_all_stage);
    w->tasks = Py_XNewRef(self.tasks.ptr());
    w->timeout = Py_NewRef(t);
    PyObject_GC_Track(w);
    return nb::steal(reinterpret_cast<PyObject *>(w));
}

// --- the module ----------------------------------------------------------------------------

PyObject *attr_of(const char *module, const char *name) {
    nb::object value = nb::module_::import_(module).attr(name);
    return value.release().ptr();
}

void init_state() {
    if (g) return;
    auto *s = new State{attr_of("asyncio", "CancelledError"), attr_of("asyncio", "InvalidStateError"),
                        attr_of("asyncio", "iscoroutine"), attr_of("asyncio", "get_running_loop"),
                        attr_of("asyncio", "wait"), nullptr, nullptr,
                        sp::intern("add_done_callback"), sp::intern("remove_done_callback"),
                        sp::intern("cancel"), sp::intern("cancelled"), sp::intern("close"),
                        sp::intern("create_future"), sp::intern("create_task"), sp::intern("cr_await"),
                        sp::intern("done"), sp::intern("exception"), sp::intern("get_coro"),
                        sp::intern("get_name"), sp::intern("set_result"), sp::intern("throw"), sp::intern("value"),
                        nb::make_tuple("name").release().ptr(), nb::make_tuple("timeout").release().ptr()};
    s->wait_all_type = coroutine_type("sorvel_layer._internal.job_lane._WaitAll", sizeof(WaitAll),
                                      {{Py_tp_doc, const_cast<char *>("Awaitable returned by JobLane.wait_all().")},
                                       {Py_tp_traverse, reinterpret_cast<void *>(wait_all_traverse)},
                                       {Py_tp_clear, reinterpret_cast<void *>(wait_all_clear)}});
    s->job_type = coroutine_type(
        "sorvel_layer._internal.job_lane._wrapper", sizeof(Job),
        {{Py_tp_doc, const_cast<char *>("The body of one lane task: waits for the predecessor, "
                                        "takes a unit of the lane, runs the submitted coroutine.")},
         {Py_tp_repr, reinterpret_cast<void *>(job_repr)},
         {Py_tp_getset, kJobGetSet},
         {Py_tp_traverse, reinterpret_cast<void *>(job_traverse)},
         {Py_tp_clear, reinterpret_cast<void *>(job_clear)}});
    g = s;
}

constexpr const char *kLaneDoc =
    "A scheduler of named background tasks on one running event loop.\n"
    "\n"
    "At most ``max_concurrency`` submitted coroutines run at the same time, taking\n"
    "units first come, first served; a task may wait for one named predecessor\n"
    "first. Every task is tracked in ``_tasks`` from ``submit`` until its\n"
    "completion callback has run.\n"
    "\n"
    "A dependant whose predecessor failed or was cancelled (or which was itself\n"
    "cancelled while it waited) ends cancelled without running its coroutine: the\n"
    "first await of its handle raises ``asyncio.CancelledError`` with\n"
    "``\"Predecessor \" + repr(after) + \" failed\"``, caused by the predecessor's\n"
    "error or cancellation (on Python 3.10, on that error's ``__context__``).\n"
    "Cancelling a waiting dependant leaves the predecessor running. A coroutine\n"
    "already awaited elsewhere is not driven twice: its task fails with\n"
    "``RuntimeError``.";

}  // namespace

NB_MODULE(job_lane, m) {
    sp::init();
    init_state();
    m.attr("logger") = sp::get_logger("sorvel_layer._internal.job_lane");

    nb::class_<Units>(m, "Units", nb::type_slots(kUnitsSlots),
                      "The units of a lane: a first-come-first-served count of free places.")
        .def("locked", [](Units &u) { nb::ft_lock_guard guard(u.mutex); return u.free == 0; },
             "True when a task asking for a unit now would have to wait.")
        .def("__repr__", [](Units &u) {
            nb::ft_lock_guard guard(u.mutex);
            return nb::str("<Units [{}, value:{}, waiters:{}]>")
                .format(u.free ? "unlocked" : "locked", u.free, u.waiters.size());
        });

    nb::class_<Lane>(m, "JobLane", nb::type_slots(kLaneSlots), kLaneDoc)
        .def("__init__", &lane_init, "max_concurrency"_a.none() = 2,
             nb::sig("def __init__(self, max_concurrency: int = 2) -> None"),
             "A lane with an empty map; ``max_concurrency`` must be at least 1.")
        .def("submit", &lane_submit, sp::arg("name"), sp::arg("coro"), nb::kw_only(), "after"_a.none() = nb::none(),
             nb::sig("def submit(self, name: str, coro: collections.abc.Coroutine[typing.Any, typing.Any, "
                     "typing.Any], *, after: str | None = None) -> asyncio.Task[typing.Any]"),
             "Run ``coro`` as the task ``name`` and return its handle. With ``after``, the task\n"
             "waits for that tracked task first (not for ``\"\"``). A refused submission closes\n"
             "``coro``. Needs a running event loop.")
        .def_prop_ro("active_count",
                     [](Lane &self) { return self.tasks.is_valid() ? PyDict_GET_SIZE(self.tasks.ptr()) : 0; },
                     "The number of tracked tasks (including finished ones whose completion "
                     "callback has not run yet).")
        .def("cancel_all", &lane_cancel_all,
             "Request the cancellation of every tracked task that is not done; return how many were asked.")
        .def("wait_all", &lane_wait_all, "timeout"_a.none() = nb::none(),
             nb::sig("def wait_all(self, timeout: float | None = None) -> collections.abc.Awaitable[None]"),
             "Awaitable: wait until the tasks tracked when it starts have finished, or until\n"
             "``timeout`` seconds have passed. Never raises their outcomes.")
        .def_prop_ro("_semaphore", [](Lane &self) { return self.units_obj; })
        .def_prop_ro("_tasks", [](Lane &self) { return self.tasks.is_valid() ? self.tasks : nb::none(); })
        .def_prop_ro("_max_concurrency",
                     [](Lane &self) { return self.max_concurrency.is_valid() ? self.max_concurrency : nb::none(); });

    m.attr("__all__") = sp::names({"JobLane"});
}
