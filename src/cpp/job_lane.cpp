// job_lane: named background tasks on the host's event loop. At most
// `max_concurrency` submitted coroutines run at once, and a task may wait for
// one named predecessor before it asks for a unit.
//
// Only asyncio's public interface is used: tasks come from the loop's
// create_task(); a task that waits for a unit parks on a future made by
// loop.create_future(), and one that waits for its predecessor on a
// Future-like object of the lane's own whose done callbacks sit on the
// predecessor's task itself. The units are the lane's own
// first-come-first-served count.
//
// The file reads in the order of the lane's life: the coroutine protocol
// shared by the native awaitables, the units, construction, submit(), the
// wait for a predecessor, the task body, the completion callback,
// cancel_all() and wait_all().
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
    // the task body; what wait_all() returns; the wait for a predecessor and its relays
    PyTypeObject *job_type, *wait_all_type, *wait_type, *relay_type;
    // method, attribute and argument names; ("name",), ("timeout",) and ("context",) for keyword calls
    PyObject *add_done_callback, *remove_done_callback, *call_soon, *cancel, *cancelled, *close,
        *context, *create_future, *create_task, *cr_await, *done, *exception, *get_coro, *get_name, *msg,
        *set_result, *throw_, *value;
    PyObject *name_kw, *timeout_kw, *context_kw;
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

// A garbage-collected heap type that Python code cannot instantiate, made
// of `slots` (which give at least tp_dealloc, tp_traverse and tp_clear).
PyTypeObject *plain_type(const char *name, std::size_t size, std::vector<PyType_Slot> slots) {
    slots.push_back({0, nullptr});
    PyType_Spec type_spec = {name, static_cast<int>(size), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                             slots.data()};
    return reinterpret_cast<PyTypeObject *>(checked(PyType_FromSpec(&type_spec)).release().ptr());
}

// A heap type with the coroutine protocol above plus `slots` of its own
// (which give at least tp_traverse and tp_clear).
PyTypeObject *coroutine_type(const char *name, std::size_t size, std::vector<PyType_Slot> slots) {
    slots.insert(slots.end(), {{Py_tp_dealloc, reinterpret_cast<void *>(coro_dealloc)},
                               {Py_tp_iter, reinterpret_cast<void *>(PyObject_SelfIter)},
                               {Py_tp_iternext, reinterpret_cast<void *>(coro_iternext)},
                               {Py_tp_methods, kCoroMethods},
                               {Py_am_await, reinterpret_cast<void *>(coro_await)},
                               {Py_am_send, reinterpret_cast<void *>(coro_am_send)}});
    return plain_type(name, size, std::move(slots));
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

// --- the wait for a predecessor ------------------------------------------------------------
//
// While its predecessor runs, the body yields a PredWait: an object of
// asyncio's protocol for Future-like objects (`_asyncio_future_blocking`,
// get_loop, add_done_callback, remove_done_callback, cancel, done,
// cancelled, result, exception). Each callback added to it goes onto the
// predecessor's task itself, through a Relay that calls it with the wait, so
// the body's task wakes at the same turn as a task that awaits the
// predecessor directly, and in the order in which the two began to wait.
//
// The wait's own outcome is only "the predecessor has finished" (result
// None) or its own cancellation: the body then reads the predecessor's
// outcome from the handle, without consuming it. Cancelling the wait takes
// its relays back from the predecessor, which runs on, and calls its
// callbacks soon, as a cancelled future does.

// One callback of a wait, registered on the predecessor. `wait`, `fn` and
// `context` are set once; `live` (guarded by the wait's mutex) is true while
// the relay is in its wait's list: registered, and not yet fired, removed or
// taken back.
struct Relay {
    PyObject_HEAD
    PyObject *wait, *fn, *context;
    bool live;
};

struct PredWait {
    PyObject_HEAD
    PyObject *pred;  // the predecessor's task
    PyObject *loop;
    struct Fields {  // guarded by `mutex`, which is never held while Python runs
        std::vector<nb::object> relays;  // the live relays, in the order they were added
        nb::object message;              // the cancellation's message, once cancelled
        bool blocking = true, cancelled = false;
        nb::ft_mutex mutex;
    } f;
};

Relay *relay_of(PyObject *o) { return reinterpret_cast<Relay *>(o); }
PredWait *wait_of(PyObject *o) { return reinterpret_cast<PredWait *>(o); }

PyObject *new_wait(PyObject *pred, PyObject *loop) {
    PredWait *w = PyObject_GC_New(PredWait, g->wait_type);
    if (!w) return nullptr;
    w->pred = Py_NewRef(pred);
    w->loop = Py_NewRef(loop);
    new (&w->f) PredWait::Fields();
    PyObject_GC_Track(w);
    return reinterpret_cast<PyObject *>(w);
}

// The predecessor; RuntimeError once the collector has cleared the wait.
PyObject *pred_of(PredWait *w) {
    if (!w->pred) PyErr_SetString(PyExc_RuntimeError, "the wait is over"), raise_pending();
    return w->pred;
}

bool wait_cancelled(PredWait *w) {
    nb::ft_lock_guard guard(w->f.mutex);
    return w->f.cancelled;
}

// Takes every live relay out of the wait's list (they stay silent from now on).
std::vector<nb::object> take_relays(PredWait *w) {
    std::vector<nb::object> out;
    nb::ft_lock_guard guard(w->f.mutex);
    out.swap(w->f.relays);
    for (nb::object &r : out) relay_of(r.ptr())->live = false;
    return out;
}

// Takes `r` out of the list when it is still there; false when it is not live.
bool take_relay(PredWait *w, PyObject *r, nb::object &out) {
    nb::ft_lock_guard guard(w->f.mutex);
    if (!relay_of(r)->live) return false;
    relay_of(r)->live = false;
    auto &v = w->f.relays;
    for (auto it = v.begin(); it != v.end(); ++it)
        if (it->ptr() == r) {
            out = std::move(*it);
            v.erase(it);
            break;
        }
    return true;
}

// Withdraws relays from the predecessor (from one that has finished, there is
// nothing left to withdraw).
void withdraw(PredWait *w, const std::vector<nb::object> &relays) {
    for (const nb::object &r : relays) call(pred_of(w), g->remove_done_callback, r.ptr());
}

// loop.call_soon(fn, wait, context=context)
void call_soon(PredWait *w, PyObject *fn, PyObject *context) {
    PyObject *args[4] = {w->loop, fn, reinterpret_cast<PyObject *>(w), context};
    checked(PyObject_VectorcallMethod(g->call_soon, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, g->context_kw));
}

// The predecessor finished: the relay calls its callback with the wait.
PyObject *relay_call(PyObject *self, PyObject *, PyObject *) {
    Relay *r = relay_of(self);
    nb::object listed;  // the list's reference, dropped after the call
    if (!r->wait || !take_relay(wait_of(r->wait), self, listed)) Py_RETURN_NONE;
    return PyObject_CallOneArg(r->fn, r->wait);
}

int relay_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(relay_of(self)->wait);
    Py_VISIT(relay_of(self)->fn);
    Py_VISIT(relay_of(self)->context);
    return 0;
}

int relay_clear(PyObject *self) {
    Py_CLEAR(relay_of(self)->wait);
    Py_CLEAR(relay_of(self)->fn);
    Py_CLEAR(relay_of(self)->context);
    return 0;
}

// The value of the one keyword argument `allowed` of a fast call (left as it
// is when not given); TypeError for any other keyword.
void keyword_only(const char *fname, PyObject *allowed, PyObject *const *values, PyObject *kwnames,
                  PyObject **out) {
    for (Py_ssize_t i = 0, n = kwnames ? PyTuple_GET_SIZE(kwnames) : 0; i < n; ++i) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, i);
        if (key != allowed && PyUnicode_Compare(key, allowed) != 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname, key);
            raise_pending();
        }
        *out = values[i];
    }
}

// add_done_callback(fn, /, *, context=None)
PyObject *wait_add_done_callback(PyObject *self, PyObject *const *args, Py_ssize_t n, PyObject *kwnames) try {
    if (n != 1)
        return PyErr_Format(PyExc_TypeError, "add_done_callback() takes exactly one positional argument (%zd given)", n);
    PyObject *ctx = Py_None;
    keyword_only("add_done_callback", g->context, args + n, kwnames, &ctx);
    nb::object context = ctx != Py_None ? nb::borrow(ctx) : checked(PyContext_CopyCurrent());
    PredWait *w = wait_of(self);
    PyObject *pred = pred_of(w);
    if (wait_cancelled(w) || truth(pred, g->done)) {
        call_soon(w, args[0], context.ptr());
        Py_RETURN_NONE;
    }
    Relay *r = PyObject_GC_New(Relay, g->relay_type);
    if (!r) return nullptr;
    r->wait = Py_NewRef(self);
    r->fn = Py_NewRef(args[0]);
    r->context = context.release().ptr();
    r->live = true;
    PyObject_GC_Track(r);
    nb::object relay = nb::steal(reinterpret_cast<PyObject *>(r));
    {
        nb::ft_lock_guard guard(w->f.mutex);
        w->f.relays.push_back(relay);
    }
    PyObject *reg[3] = {pred, relay.ptr(), r->context};
    PyObject *ok = PyObject_VectorcallMethod(g->add_done_callback, reg, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, g->context_kw);
    if (!ok) {
        nb::object listed;
        keeping_pending([&] { take_relay(w, relay.ptr(), listed); });
        return nullptr;
    }
    Py_DECREF(ok);
    Py_RETURN_NONE;
} catch (nb::python_error &e) {
    e.restore();
    return nullptr;
}

// remove_done_callback(fn, /): takes back every callback equal to `fn`; returns their number.
PyObject *wait_remove_done_callback(PyObject *self, PyObject *fn) try {
    PredWait *w = wait_of(self);
    std::vector<nb::object> listed, gone;
    {
        nb::ft_lock_guard guard(w->f.mutex);
        listed = w->f.relays;
    }
    for (nb::object &r : listed) {
        int eq = PyObject_RichCompareBool(relay_of(r.ptr())->fn, fn, Py_EQ);
        if (eq < 0) raise_pending();
        nb::object taken;
        if (eq && take_relay(w, r.ptr(), taken)) gone.push_back(r);
    }
    if (!gone.empty()) withdraw(w, gone);
    return PyLong_FromSize_t(gone.size());
} catch (nb::python_error &e) {
    e.restore();
    return nullptr;
}

// cancel(msg=None): true when the wait was pending; the predecessor runs on.
PyObject *wait_cancel(PyObject *self, PyObject *const *args, Py_ssize_t n, PyObject *kwnames) try {
    if (n > 1) return PyErr_Format(PyExc_TypeError, "cancel() takes at most 1 argument (%zd given)", n);
    PyObject *msg = nullptr;
    keyword_only("cancel", g->msg, args + n, kwnames, &msg);
    if (msg && n) return PyErr_Format(PyExc_TypeError, "cancel() got multiple values for argument 'msg'");
    msg = msg ? msg : n ? args[0] : Py_None;
    PredWait *w = wait_of(self);
    if (truth(pred_of(w), g->done)) Py_RETURN_FALSE;
    {
        nb::ft_lock_guard guard(w->f.mutex);
        if (w->f.cancelled) Py_RETURN_FALSE;
        w->f.cancelled = true;
        w->f.message = nb::borrow(msg);
    }
    std::vector<nb::object> relays = take_relays(w);
    withdraw(w, relays);
    for (nb::object &r : relays) call_soon(w, relay_of(r.ptr())->fn, relay_of(r.ptr())->context);
    Py_RETURN_TRUE;
} catch (nb::python_error &e) {
    e.restore();
    return nullptr;
}

// The wait's cancellation as the wait's result() raises it; null when it is not cancelled.
PyObject *wait_cancellation(PredWait *w) {
    nb::object msg;
    {
        nb::ft_lock_guard guard(w->f.mutex);
        if (!w->f.cancelled) return nullptr;
        msg = w->f.message;
    }
    return msg.is_none() ? PyObject_CallNoArgs(g->cancelled_error) : PyObject_CallOneArg(g->cancelled_error, msg.ptr());
}

// result() and exception(): None once the predecessor has finished.
PyObject *wait_outcome(PyObject *self, const char *not_ready) try {
    PredWait *w = wait_of(self);
    if (PyObject *exc = wait_cancellation(w)) return restore_exc(exc), nullptr;
    if (PyErr_Occurred()) return nullptr;
    if (!truth(pred_of(w), g->done)) return PyErr_SetString(g->invalid_state_error, not_ready), nullptr;
    Py_RETURN_NONE;
} catch (nb::python_error &e) {
    e.restore();
    return nullptr;
}

PyObject *wait_result(PyObject *self, PyObject *) { return wait_outcome(self, "Result is not ready."); }
PyObject *wait_exception(PyObject *self, PyObject *) { return wait_outcome(self, "Exception is not set."); }

PyObject *wait_done(PyObject *self, PyObject *) try {
    PredWait *w = wait_of(self);
    return PyBool_FromLong(wait_cancelled(w) || truth(pred_of(w), g->done));
} catch (nb::python_error &e) {
    e.restore();
    return nullptr;
}

PyObject *wait_is_cancelled(PyObject *self, PyObject *) { return PyBool_FromLong(wait_cancelled(wait_of(self))); }

PyObject *wait_get_loop(PyObject *self, PyObject *) {
    PyObject *loop = wait_of(self)->loop;
    if (!loop) PyErr_SetString(PyExc_RuntimeError, "the wait is over");
    return Py_XNewRef(loop);
}

PyObject *wait_get_blocking(PyObject *self, void *) {
    PredWait *w = wait_of(self);
    nb::ft_lock_guard guard(w->f.mutex);
    return PyBool_FromLong(w->f.blocking);
}

int wait_set_blocking(PyObject *self, PyObject *value, void *) {
    if (!value) return PyErr_SetString(PyExc_AttributeError, "cannot delete _asyncio_future_blocking"), -1;
    int v = PyObject_IsTrue(value);
    if (v < 0) return -1;
    PredWait *w = wait_of(self);
    nb::ft_lock_guard guard(w->f.mutex);
    w->f.blocking = v;
    return 0;
}

PyObject *wait_repr(PyObject *self) try {
    PredWait *w = wait_of(self);
    if (!w->pred) return PyUnicode_FromString("<JobLane._PredecessorWait>");
    const char *state = wait_cancelled(w) ? "cancelled" : truth(w->pred, g->done) ? "finished" : "pending";
    return PyUnicode_FromFormat("<JobLane._PredecessorWait after=%R %s>", call(w->pred, g->get_name).ptr(), state);
} catch (nb::python_error &e) {
    e.restore();
    return nullptr;
}

int wait_traverse(PyObject *self, visitproc visit, void *arg) {
    PredWait *w = wait_of(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(w->pred);
    Py_VISIT(w->loop);
    Py_VISIT(w->f.message.ptr());
    for (nb::object &r : w->f.relays) Py_VISIT(r.ptr());
    return 0;
}

int wait_clear(PyObject *self) {
    PredWait *w = wait_of(self);
    std::vector<nb::object> relays;  // released after the lock
    nb::object message;
    {
        nb::ft_lock_guard guard(w->f.mutex);
        relays.swap(w->f.relays);
        message = std::move(w->f.message);
    }
    Py_CLEAR(w->pred);
    Py_CLEAR(w->loop);
    return 0;
}

void wait_dealloc(PyObject *self) {
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    wait_clear(self);
    wait_of(self)->f.~Fields();
    tp->tp_free(self);
    Py_DECREF(tp);
}

void relay_dealloc(PyObject *self) {
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    relay_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyMethodDef kWaitMethods[] = {
    {"add_done_callback", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(wait_add_done_callback)),
     METH_FASTCALL | METH_KEYWORDS,
     "add_done_callback($self, fn, /, *, context=None)\n--\n\nCall fn(wait) once the predecessor has "
     "finished or the wait is cancelled."},
    {"remove_done_callback", wait_remove_done_callback, METH_O,
     "remove_done_callback($self, fn, /)\n--\n\nTake back every callback equal to fn; return their number."},
    {"cancel", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(wait_cancel)),
     METH_FASTCALL | METH_KEYWORDS,
     "cancel($self, msg=None)\n--\n\nStop waiting (the predecessor runs on); false when already done."},
    {"done", wait_done, METH_NOARGS, "done($self, /)\n--\n\nTrue once the predecessor has finished or the wait is cancelled."},
    {"cancelled", wait_is_cancelled, METH_NOARGS, "cancelled($self, /)\n--\n\nTrue when the wait was cancelled."},
    {"result", wait_result, METH_NOARGS,
     "result($self, /)\n--\n\nNone once the predecessor has finished; the wait's cancellation when cancelled."},
    {"exception", wait_exception, METH_NOARGS,
     "exception($self, /)\n--\n\nNone once the predecessor has finished; the wait's cancellation when cancelled."},
    {"get_loop", wait_get_loop, METH_NOARGS, "get_loop($self, /)\n--\n\nThe event loop of the wait."},
    {nullptr, nullptr, 0, nullptr}};

char kBlocking[] = "_asyncio_future_blocking";
PyGetSetDef kWaitGetSet[] = {{kBlocking, wait_get_blocking, wait_set_blocking, nullptr, nullptr},
                             {nullptr, nullptr, nullptr, nullptr, nullptr}};

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
    PyObject *wait;       // what the body is parked on (a unit's future or a PredWait), or null
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

// Waits for the predecessor when it still runs: the body yields a PredWait,
// so that its task is woken by the predecessor's own completion, and
// cancelling the wait leaves the predecessor alone. Then it asks for a unit.
PySendResult after_predecessor(Job *j, PyObject **res) {
    if (!j->pred || predecessor_finished(j)) return take_unit_then_run(j);
    j->wait = checked(new_wait(j->pred, j->loop)).release().ptr();
    *res = Py_NewRef(j->wait);
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
        return after_predecessor(j, res);
    case Phase::waiting_predecessor: {
        // Woken, or thrown into: whatever the wait still has on the
        // predecessor is taken back (after a wake-up, nothing is left).
        nb::object wait = nb::steal(j->wait);
        j->wait = nullptr;
        keeping_pending([&wait] {
            PredWait *w = wait_of(wait.ptr());
            std::vector<nb::object> relays = take_relays(w);
            if (!relays.empty()) withdraw(w, relays);
        });
        if (r == PYGEN_ERROR) {  // this task was cancelled while it waited
            Py_CLEAR(j->pred);
            return predecessor_failed(j);
        }
        return after_predecessor(j, res);
    }
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
    j->wait = j->cancelled = nullptr;
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
                        j->cancelled})
        Py_VISIT(o);
    return 0;
}

int job_clear(PyObject *self) {
    Job *j = job_of(self);
    for (PyObject **o : {&j->head.sub, &j->lane, &j->loop, &j->coro, &j->name, &j->after, &j->pred,
                         &j->wait, &j->cancelled})
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
                        attr_of("asyncio", "wait"), nullptr, nullptr, nullptr, nullptr,
                        sp::intern("add_done_callback"), sp::intern("remove_done_callback"),
                        sp::intern("call_soon"), sp::intern("cancel"), sp::intern("cancelled"),
                        sp::intern("close"), sp::intern("context"), sp::intern("create_future"),
                        sp::intern("create_task"), sp::intern("cr_await"), sp::intern("done"),
                        sp::intern("exception"), sp::intern("get_coro"), sp::intern("get_name"),
                        sp::intern("msg"), sp::intern("set_result"), sp::intern("throw"), sp::intern("value"),
                        nb::make_tuple("name").release().ptr(), nb::make_tuple("timeout").release().ptr(),
                        nb::make_tuple("context").release().ptr()};
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
    s->wait_type = plain_type(
        "sorvel_layer._internal.job_lane._PredecessorWait", sizeof(PredWait),
        {{Py_tp_doc, const_cast<char *>("A task's wait for its predecessor, in asyncio's protocol for "
                                        "Future-like objects: its callbacks are called when the "
                                        "predecessor's task finishes. Cancelling it leaves the predecessor running.")},
         {Py_tp_dealloc, reinterpret_cast<void *>(wait_dealloc)},
         {Py_tp_repr, reinterpret_cast<void *>(wait_repr)},
         {Py_tp_methods, kWaitMethods},
         {Py_tp_getset, kWaitGetSet},
         {Py_tp_traverse, reinterpret_cast<void *>(wait_traverse)},
         {Py_tp_clear, reinterpret_cast<void *>(wait_clear)}});
    s->relay_type = plain_type(
        "sorvel_layer._internal.job_lane._Relay", sizeof(Relay),
        {{Py_tp_doc, const_cast<char *>("One callback of a predecessor wait, registered on the predecessor.")},
         {Py_tp_dealloc, reinterpret_cast<void *>(relay_dealloc)},
         {Py_tp_call, reinterpret_cast<void *>(relay_call)},
         {Py_tp_traverse, reinterpret_cast<void *>(relay_traverse)},
         {Py_tp_clear, reinterpret_cast<void *>(relay_clear)}});
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
