// job_lane: named background tasks on the host's event loop. At most
// `max_concurrency` submitted coroutines run at once, and a task may wait for
// one named predecessor before it asks for a unit.
//
// Only asyncio's public interface is used: tasks come from the loop's
// create_task(); the units are the interpreter's own asyncio.Semaphore
// (`_semaphore`, through acquire() and release(), with a count of the lane's
// own while the semaphore is one), so they are granted in its order and at
// its turns; a task that waits for its predecessor parks on a Future-like
// object of the lane's own whose done callbacks sit on the predecessor's task
// itself, so that it wakes, and reads the predecessor's outcome, as `await
// predecessor` would.
//
// The file reads in the order of the lane's life: the coroutine protocol
// shared by the native awaitables, construction, submit(), the wait for a
// predecessor, the task body, the completion callback, cancel_all() and
// wait_all().
#include <nanobind/nanobind.h>

#include <atomic>
#include <cstdint>
#include <new>
#include <utility>
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
    PyObject *cancelled_error, *iscoroutine, *get_running_loop, *semaphore, *wait;
    // the task body; what wait_all() returns; the wait for a predecessor
    PyTypeObject *job_type, *wait_all_type, *wait_type;
    // method and attribute names; ("name",), ("timeout",) and ("context",) for keyword calls
    PyObject *acquire, *add_done_callback, *call_soon, *cancel, *close, *cr_await, *create_task, *done,
        *exception, *get_loop, *get_name, *release, *remove_done_callback, *result, *throw_, *value;
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

bool truth(PyObject *obj, PyObject *name) {
    int v = PyObject_IsTrue(call(obj, name).ptr());
    if (v < 0) raise_pending();
    return v;
}

// Runs `f`, a C-API entry point's body: a Python error it throws is restored
// and null returned.
template <class F> PyObject *guarded(F &&f) {
    try {
        return f();
    } catch (nb::python_error &e) {
        e.restore();
        return nullptr;
    }
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

// --- the lane, its units and its construction ------------------------------------------
//
// The units are `_semaphore`, the interpreter's asyncio.Semaphore. While no
// task has ever had to wait for a unit, that semaphore is a plain count, and
// the lane keeps the count itself: `free` is the semaphore's value, and
// `owed` the units taken (less those given back) that the semaphore has not
// been told of yet. The first task that finds no unit free settles the debt
// through the semaphore's own acquire() and release() and makes it `exact`:
// from then on the semaphore grants and takes back every unit, in its own
// order and at its own turns. Reading `_semaphore` settles the debt too.

constexpr long long kUnlimited = 1LL << 62;  // more units than tasks could ever exist

struct Lane {
    nb::object semaphore;        // `_semaphore`: asyncio.Semaphore(max_concurrency), kept to the end
    nb::object tasks;            // `_tasks`: name -> task, in insertion order
    nb::object max_concurrency;  // `_max_concurrency`
    struct Units {               // guarded by `mutex`, which is never held while Python runs
        long long free, owed = 0;
        bool exact = false;
        nb::ft_mutex mutex;
    } units;
};

Lane *lane_of(PyObject *lane) { return nb::inst_ptr<Lane>(lane); }

void lane_init(Lane *self, nb::handle max_concurrency) {
    nb::object limit = sp::require_integer(max_concurrency, "max_concurrency", sp::Bools::Refuse);
    // The semaphore refuses a negative count with its own error; the lane refuses 0 as well.
    nb::object semaphore = checked(PyObject_CallOneArg(g->semaphore, limit.ptr()));
    if (PyObject_Not(limit.ptr())) throw nb::value_error("max_concurrency must be at least 1");
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(limit.ptr(), &overflow);
    new (self) Lane{std::move(semaphore), nb::dict(), std::move(limit), {overflow || v > kUnlimited ? kUnlimited : v}};
}

// Takes a unit from the count; false once the semaphore is exact (this call
// makes it so when no unit is free).
bool take_free_unit(Lane *l) {
    nb::ft_lock_guard guard(l->units.mutex);
    if (l->units.exact) return false;
    if (l->units.free == 0) return l->units.exact = true, false;
    --l->units.free, ++l->units.owed;
    return true;
}

void give_back(Lane *l) {
    {
        nb::ft_lock_guard guard(l->units.mutex);
        if (!l->units.exact) return void((++l->units.free, --l->units.owed));
    }
    call(l->semaphore.ptr(), g->release);
}

// Tells the semaphore of the units taken and given back through the count.
// Each acquire() returns at once: until now, the semaphore had never had a waiter.
void settle(Lane *l) {
    long long owed;
    {
        nb::ft_lock_guard guard(l->units.mutex);
        owed = std::exchange(l->units.owed, 0);
    }
    for (; owed < 0; ++owed) call(l->semaphore.ptr(), g->release);
    for (; owed > 0; --owed) {
        nb::object acquiring = call(l->semaphore.ptr(), g->acquire);
        PyObject *res = nullptr;
        PySendResult r = PyIter_Send(acquiring.ptr(), Py_None, &res);
        Py_XDECREF(res);
        if (r == PYGEN_NEXT) close_iter(acquiring.ptr()), PyErr_SetString(PyExc_RuntimeError, "the semaphore made a task wait");
        if (r != PYGEN_RETURN) raise_pending();
    }
}

int lane_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    for (nb::object *o : {&lane_of(self)->semaphore, &lane_of(self)->tasks, &lane_of(self)->max_concurrency})
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

PyObject *new_job(PyObject *lane, PyObject *coro, PyObject *name, PyObject *after, PyObject *pred);
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
    nb::object body = checked(new_job(self.h.ptr(), coro, name, after, pred.ptr()));

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
// cancelled, result, exception). Each callback added to it is registered on
// the predecessor's task itself, as one call of the wait in the callback's
// context, and the wait then calls its oldest callback with itself. So the
// body's task wakes at the same turn as a task that awaits the predecessor
// directly, in the order in which the two began to wait.
//
// Once the predecessor has finished, the wait's result() and exception() are
// the predecessor's own: its task reads the very outcome that `await
// predecessor` would give at that moment, a cancellation with its message
// included. Cancelling the wait takes its callbacks back from the
// predecessor, which runs on, and calls them soon, as a cancelled future does.

using Callback = std::pair<nb::object, nb::object>;  // fn, context

struct PredWait {
    PyObject_HEAD
    PyObject *pred;  // the predecessor's task
    struct Fields {  // guarded by `mutex`, which is never held while Python runs
        std::vector<Callback> callbacks;  // those registered on the predecessor, oldest first
        nb::object message;               // the cancellation's message, once cancelled
        bool blocking = true, cancelled = false;
        nb::ft_mutex mutex;
    } f;
};

PredWait *wait_of(PyObject *o) { return reinterpret_cast<PredWait *>(o); }

PyObject *new_wait(PyObject *pred) {
    PredWait *w = PyObject_GC_New(PredWait, g->wait_type);
    if (!w) return nullptr;
    w->pred = Py_NewRef(pred);
    new (&w->f) PredWait::Fields();
    PyObject_GC_Track(w);
    return reinterpret_cast<PyObject *>(w);
}

// The predecessor; RuntimeError once the collector has cleared the wait.
PyObject *pred_of(PredWait *w) {
    if (!w->pred) PyErr_SetString(PyExc_RuntimeError, "the wait is over"), raise_pending();
    return w->pred;
}

// The wait's cancellation, as its result() raises it; null when it is not cancelled.
nb::object cancellation(PredWait *w) {
    nb::object msg;
    {
        nb::ft_lock_guard guard(w->f.mutex);
        if (!w->f.cancelled) return {};
        msg = w->f.message;
    }
    return checked(msg.is_none() ? PyObject_CallNoArgs(g->cancelled_error)
                                 : PyObject_CallOneArg(g->cancelled_error, msg.ptr()));
}

// Takes every callback out of the wait, and off the predecessor.
std::vector<Callback> take_callbacks(PredWait *w) {
    std::vector<Callback> out;
    {
        nb::ft_lock_guard guard(w->f.mutex);
        out.swap(w->f.callbacks);
    }
    if (!out.empty()) call(pred_of(w), g->remove_done_callback, reinterpret_cast<PyObject *>(w));
    return out;
}

// Registers `fn` on the predecessor as one call of the wait, in `context`.
void register_callback(PredWait *w, Callback cb) {
    PyObject *args[3] = {pred_of(w), reinterpret_cast<PyObject *>(w), cb.second.ptr()};
    checked(PyObject_VectorcallMethod(g->add_done_callback, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, g->context_kw));
    nb::ft_lock_guard guard(w->f.mutex);
    w->f.callbacks.push_back(std::move(cb));
}

// loop.call_soon(fn, wait, context=context)
void call_soon(PredWait *w, const Callback &cb) {
    nb::object loop = call(pred_of(w), g->get_loop);
    PyObject *args[4] = {loop.ptr(), cb.first.ptr(), reinterpret_cast<PyObject *>(w), cb.second.ptr()};
    checked(PyObject_VectorcallMethod(g->call_soon, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, g->context_kw));
}

// The predecessor has finished: the wait calls its oldest callback with itself.
PyObject *wait_call(PyObject *self, PyObject *, PyObject *) {
    PredWait *w = wait_of(self);
    nb::object fn;
    {
        nb::ft_lock_guard guard(w->f.mutex);
        if (w->f.callbacks.empty()) Py_RETURN_NONE;  // taken back meanwhile
        fn = std::move(w->f.callbacks.front().first);
        w->f.callbacks.erase(w->f.callbacks.begin());
    }
    return PyObject_CallOneArg(fn.ptr(), self);
}

bool wait_cancelled(PredWait *w) {
    nb::ft_lock_guard guard(w->f.mutex);
    return w->f.cancelled;
}

bool wait_done(PredWait *w) { return wait_cancelled(w) || truth(pred_of(w), g->done); }

// add_done_callback(fn, /, *, context=None)
PyObject *wait_add_done_callback(PyObject *self, PyObject *args, PyObject *kwargs) {
    static const char *kwlist[] = {"", "context", nullptr};
    PyObject *fn, *ctx = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$O:add_done_callback", const_cast<char **>(kwlist), &fn, &ctx))
        return nullptr;
    return guarded([&]() -> PyObject * {
        PredWait *w = wait_of(self);
        Callback cb{nb::borrow(fn), ctx != Py_None ? nb::borrow(ctx) : checked(PyContext_CopyCurrent())};
        if (wait_done(w)) call_soon(w, cb);
        else register_callback(w, std::move(cb));
        Py_RETURN_NONE;
    });
}

// remove_done_callback(fn, /): takes back every callback equal to `fn`; returns their number.
PyObject *wait_remove_done_callback(PyObject *self, PyObject *fn) {
    return guarded([&]() -> PyObject * {
        PredWait *w = wait_of(self);
        std::size_t removed = 0;
        for (Callback &cb : take_callbacks(w)) {
            int eq = PyObject_RichCompareBool(cb.first.ptr(), fn, Py_EQ);
            if (eq < 0) raise_pending();
            if (eq) ++removed;
            else register_callback(w, std::move(cb));  // kept, in their order
        }
        return PyLong_FromSize_t(removed);
    });
}

// cancel(msg=None): true when the wait was pending; the predecessor runs on.
PyObject *wait_cancel(PyObject *self, PyObject *args, PyObject *kwargs) {
    static const char *kwlist[] = {"msg", nullptr};
    PyObject *msg = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:cancel", const_cast<char **>(kwlist), &msg)) return nullptr;
    return guarded([&]() -> PyObject * {
        PredWait *w = wait_of(self);
        if (truth(pred_of(w), g->done)) Py_RETURN_FALSE;
        {
            nb::ft_lock_guard guard(w->f.mutex);
            if (w->f.cancelled) Py_RETURN_FALSE;
            w->f.cancelled = true;
            w->f.message = nb::borrow(msg);
        }
        for (Callback &cb : take_callbacks(w)) call_soon(w, cb);
        Py_RETURN_TRUE;
    });
}

// result() and exception(): the predecessor's own, or the wait's cancellation.
PyObject *wait_outcome(PyObject *self, PyObject *name) {
    return guarded([&]() -> PyObject * {
        nb::object exc = cancellation(wait_of(self));
        if (exc.is_valid()) return restore_exc(exc.release().ptr()), nullptr;
        return call(pred_of(wait_of(self)), name).release().ptr();
    });
}

PyObject *wait_result(PyObject *self, PyObject *) { return wait_outcome(self, g->result); }
PyObject *wait_exception(PyObject *self, PyObject *) { return wait_outcome(self, g->exception); }

PyObject *wait_is_done(PyObject *self, PyObject *) {
    return guarded([&]() -> PyObject * { return PyBool_FromLong(wait_done(wait_of(self))); });
}

PyObject *wait_is_cancelled(PyObject *self, PyObject *) { return PyBool_FromLong(wait_cancelled(wait_of(self))); }

PyObject *wait_get_loop(PyObject *self, PyObject *) {
    return guarded([&]() -> PyObject * { return call(pred_of(wait_of(self)), g->get_loop).release().ptr(); });
}

PyObject *wait_get_blocking(PyObject *self, void *) {
    nb::ft_lock_guard guard(wait_of(self)->f.mutex);
    return PyBool_FromLong(wait_of(self)->f.blocking);
}

int wait_set_blocking(PyObject *self, PyObject *value, void *) {
    if (!value) return PyErr_SetString(PyExc_AttributeError, "cannot delete _asyncio_future_blocking"), -1;
    int v = PyObject_IsTrue(value);
    if (v < 0) return -1;
    nb::ft_lock_guard guard(wait_of(self)->f.mutex);
    wait_of(self)->f.blocking = v;
    return 0;
}

PyObject *wait_repr(PyObject *self) {
    PredWait *w = wait_of(self);
    if (!w->pred) return PyUnicode_FromString("<JobLane._PredecessorWait>");
    return guarded([&]() -> PyObject * {
        const char *state = wait_cancelled(w) ? "cancelled" : truth(w->pred, g->done) ? "finished" : "pending";
        return PyUnicode_FromFormat("<JobLane._PredecessorWait after=%R %s>", call(w->pred, g->get_name).ptr(), state);
    });
}

int wait_traverse(PyObject *self, visitproc visit, void *arg) {
    PredWait *w = wait_of(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(w->pred);
    Py_VISIT(w->f.message.ptr());
    for (Callback &cb : w->f.callbacks) {
        Py_VISIT(cb.first.ptr());
        Py_VISIT(cb.second.ptr());
    }
    return 0;
}

int wait_clear(PyObject *self) {
    PredWait *w = wait_of(self);
    std::vector<Callback> callbacks;  // released after the lock
    nb::object message;
    {
        nb::ft_lock_guard guard(w->f.mutex);
        callbacks.swap(w->f.callbacks);
        message = std::move(w->f.message);
    }
    Py_CLEAR(w->pred);
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

PyMethodDef kWaitMethods[] = {
    {"add_done_callback", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(wait_add_done_callback)),
     METH_VARARGS | METH_KEYWORDS,
     "add_done_callback($self, fn, /, *, context=None)\n--\n\nCall fn(wait) once the predecessor has "
     "finished or the wait is cancelled."},
    {"remove_done_callback", wait_remove_done_callback, METH_O,
     "remove_done_callback($self, fn, /)\n--\n\nTake back every callback equal to fn; return their number."},
    {"cancel", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(wait_cancel)), METH_VARARGS | METH_KEYWORDS,
     "cancel($self, msg=None)\n--\n\nStop waiting (the predecessor runs on); false when already done."},
    {"done", wait_is_done, METH_NOARGS, "done($self, /)\n--\n\nTrue once the predecessor has finished or the wait is cancelled."},
    {"cancelled", wait_is_cancelled, METH_NOARGS, "cancelled($self, /)\n--\n\nTrue when the wait was cancelled."},
    {"result", wait_result, METH_NOARGS,
     "result($self, /)\n--\n\nThe predecessor's result (or its error or cancellation raised); the wait's "
     "cancellation when cancelled."},
    {"exception", wait_exception, METH_NOARGS,
     "exception($self, /)\n--\n\nThe predecessor's error, or None; the wait's cancellation when cancelled."},
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

enum class Phase : std::uint8_t { fresh, waiting_predecessor, acquiring, running, over };

struct Job {
    Coro head;
    PyObject *lane;   // the JobLane (dropped by the completion callback)
    PyObject *coro;   // the submitted coroutine (kept for the repr)
    PyObject *name;   // the name it was submitted under
    PyObject *after;  // the predecessor's name, or null
    PyObject *pred;   // the predecessor's task until the wait for it ends
    PyObject *wait;   // the PredWait the body is parked on, or null
    Phase phase;
    bool deferred;  // the task is being created: do not start yet
    bool ran_coro;  // the body has stepped the submitted coroutine
};

Job *job_of(PyObject *o) { return reinterpret_cast<Job *>(o); }

void set_deferred(PyObject *job, bool deferred) { job_of(job)->deferred = deferred; }

Lane *lane_of(Job *j) {
    if (!j->lane) PyErr_SetString(PyExc_RuntimeError, "the lane's task is over"), raise_pending();
    return lane_of(j->lane);
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

// Starts delegating to the submitted coroutine, unless someone else is
// already awaiting it: then the task fails as `await` would.
PySendResult start_running(Job *j) {
    j->phase = Phase::running;  // a unit is held from here on
    if (PyCoro_CheckExact(j->coro) && checked(PyObject_GetAttr(j->coro, g->cr_await)).ptr() != Py_None)
        return PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already"), PYGEN_ERROR;
    j->head.sub = checked(await_iter(j->coro)).release().ptr();
    j->ran_coro = true;
    return PYGEN_NEXT;
}

// Takes a unit from the count, or else steps through `_semaphore.acquire()`.
PySendResult acquire(Job *j) {
    Lane *l = lane_of(j);
    if (take_free_unit(l)) return start_running(j);
    settle(l);
    j->head.sub = checked(await_iter(call(l->semaphore.ptr(), g->acquire).ptr())).release().ptr();
    j->phase = Phase::acquiring;
    return PYGEN_NEXT;
}

// Goes on from the end of the wait: `outcome` is what awaiting the
// predecessor gave (null: it raised, and that exception is pending).
PySendResult after_predecessor(Job *j, PyObject *outcome) {
    Py_CLEAR(j->pred);
    if (!outcome) return predecessor_failed(j);
    Py_DECREF(outcome);
    return acquire(j);
}

PySendResult job_advance(Job *j, PySendResult r, PyObject **res) {
    if (r == PYGEN_RETURN && j->phase != Phase::running) Py_CLEAR(*res);
    switch (j->phase) {
    case Phase::fresh:
        // An exception before the first step comes straight out, as from a
        // coroutine that has not begun; coro is left to the completion callback.
        if (r == PYGEN_ERROR) return r;
        if (j->deferred) return *res = Py_NewRef(Py_None), PYGEN_NEXT;
        if (!j->pred) return acquire(j);
        if (truth(j->pred, g->done)) return after_predecessor(j, PyObject_CallMethodNoArgs(j->pred, g->result));
        // The predecessor runs: park on a wait that its completion wakes.
        j->wait = checked(new_wait(j->pred)).release().ptr();
        *res = Py_NewRef(j->wait);
        j->phase = Phase::waiting_predecessor;
        return PYGEN_NEXT;
    case Phase::waiting_predecessor: {
        // Woken, or thrown into: what the wait still has on the predecessor is
        // taken back (after a wake-up, nothing is left). A wake-up reads the
        // wait's outcome; a throw (the predecessor's own outcome, or this
        // task's cancellation) is the outcome.
        nb::object wait = nb::steal(j->wait);
        j->wait = nullptr;
        keeping_pending([&wait] { take_callbacks(wait_of(wait.ptr())); });
        return after_predecessor(j, r == PYGEN_ERROR ? nullptr : wait_result(wait.ptr(), nullptr));
    }
    case Phase::acquiring:
        // A cancellation while it waited: acquire() has passed on any unit.
        return r == PYGEN_ERROR ? r : start_running(j);
    case Phase::running:
        return r;  // the unit is released below
    case Phase::over:
        break;
    }
    PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
    return PYGEN_ERROR;
}

// The body's stage: the step above. Once the body ends, whatever way, a unit
// that it holds is given back.
PySendResult job_stage(Coro *c, PySendResult r, PyObject **res) {
    Job *j = reinterpret_cast<Job *>(c);
    try {
        r = job_advance(j, r, res);
    } catch (nb::python_error &e) {
        e.restore();
        r = PYGEN_ERROR;
    }
    if (r == PYGEN_NEXT) return r;
    if (j->phase == Phase::running) keeping_pending([j] { give_back(lane_of(j)); });
    j->phase = Phase::over;
    return r;
}

PyObject *new_job(PyObject *lane, PyObject *coro, PyObject *name, PyObject *after, PyObject *pred) {
    Job *j = PyObject_GC_New(Job, g->job_type);
    if (!j) return nullptr;
    coro_init(&j->head, job_stage);
    j->lane = Py_NewRef(lane);
    j->coro = Py_NewRef(coro);
    j->name = Py_NewRef(name);
    j->after = Py_XNewRef(after);
    j->pred = Py_XNewRef(pred);
    j->wait = nullptr;
    j->phase = Phase::fresh;
    j->deferred = j->ran_coro = false;
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
    for (PyObject *o : {j->head.sub, j->lane, j->coro, j->name, j->after, j->pred, j->wait}) Py_VISIT(o);
    return 0;
}

int job_clear(PyObject *self) {
    Job *j = job_of(self);
    for (PyObject **o : {&j->head.sub, &j->lane, &j->coro, &j->name, &j->after, &j->pred, &j->wait}) Py_CLEAR(*o);
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
PyObject *on_done(PyObject *self, PyObject *task) {
    return guarded([&]() -> PyObject * {
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
                       checked(PyObject_GetAttr(j->coro, g->cr_await)).ptr() != Py_None;
        int rc = j->coro && !foreign ? close_iter(j->coro) : 0;
        // The task is over: drop what tied it to the lane and to its predecessor.
        for (PyObject **o : {&j->lane, &j->after, &j->pred}) Py_CLEAR(*o);
        if (rc < 0) raise_pending();
        Py_RETURN_NONE;
    });
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
    auto *s = new State{attr_of("asyncio", "CancelledError"), attr_of("asyncio", "iscoroutine"),
                        attr_of("asyncio", "get_running_loop"), attr_of("asyncio", "Semaphore"),
                        attr_of("asyncio", "wait"), nullptr, nullptr, nullptr,
                        sp::intern("acquire"), sp::intern("add_done_callback"), sp::intern("call_soon"),
                        sp::intern("cancel"), sp::intern("close"), sp::intern("cr_await"), sp::intern("create_task"),
                        sp::intern("done"), sp::intern("exception"), sp::intern("get_loop"), sp::intern("get_name"),
                        sp::intern("release"), sp::intern("remove_done_callback"), sp::intern("result"),
                        sp::intern("throw"), sp::intern("value"),
                        nb::make_tuple("name").release().ptr(), nb::make_tuple("timeout").release().ptr(),
                        nb::make_tuple("context").release().ptr()};
    s->wait_all_type = coroutine_type("sorvel_layer._internal.job_lane._WaitAll", sizeof(WaitAll),
                                      {{Py_tp_doc, const_cast<char *>("Awaitable returned by JobLane.wait_all().")},
                                       {Py_tp_traverse, reinterpret_cast<void *>(wait_all_traverse)},
                                       {Py_tp_clear, reinterpret_cast<void *>(wait_all_clear)}});
    s->job_type = coroutine_type(
        "sorvel_layer._internal.job_lane._wrapper", sizeof(Job),
        {{Py_tp_doc, const_cast<char *>("The body of one lane task: waits for the predecessor, takes a unit of "
                                        "the lane, runs the submitted coroutine.")},
         {Py_tp_repr, reinterpret_cast<void *>(job_repr)},
         {Py_tp_getset, kJobGetSet},
         {Py_tp_traverse, reinterpret_cast<void *>(job_traverse)},
         {Py_tp_clear, reinterpret_cast<void *>(job_clear)}});
    s->wait_type = plain_type(
        "sorvel_layer._internal.job_lane._PredecessorWait", sizeof(PredWait),
        {{Py_tp_doc, const_cast<char *>("A task's wait for its predecessor, in asyncio's protocol for "
                                        "Future-like objects: its callbacks are called when the predecessor's "
                                        "task finishes, and its outcome is then the predecessor's. Cancelling "
                                        "it leaves the predecessor running.")},
         {Py_tp_dealloc, reinterpret_cast<void *>(wait_dealloc)},
         {Py_tp_repr, reinterpret_cast<void *>(wait_repr)},
         {Py_tp_call, reinterpret_cast<void *>(wait_call)},
         {Py_tp_methods, kWaitMethods},
         {Py_tp_getset, kWaitGetSet},
         {Py_tp_traverse, reinterpret_cast<void *>(wait_traverse)},
         {Py_tp_clear, reinterpret_cast<void *>(wait_clear)}});
    g = s;
}

constexpr const char *kLaneDoc =
    "A scheduler of named background tasks on one running event loop.\n"
    "\n"
    "At most ``max_concurrency`` submitted coroutines run at the same time, each\n"
    "holding a unit of ``_semaphore`` (an ``asyncio.Semaphore``); a task may wait for\n"
    "one named predecessor first. Every task is tracked in ``_tasks`` from ``submit``\n"
    "until its completion callback has run.\n"
    "\n"
    "A dependant whose predecessor failed or was cancelled (or which was itself\n"
    "cancelled while it waited) ends cancelled without running its coroutine: the\n"
    "first await of its handle raises ``asyncio.CancelledError`` with\n"
    "``\"Predecessor \" + repr(after) + \" failed\"``, caused by what awaiting the\n"
    "predecessor raised at that moment (on Python 3.10, asyncio hands it over as the\n"
    "``__context__`` of a bare cancellation). Cancelling a waiting dependant leaves\n"
    "the predecessor running. A coroutine already awaited elsewhere is not driven\n"
    "twice: its task fails with ``RuntimeError``.";

}  // namespace

NB_MODULE(job_lane, m) {
    sp::init();
    init_state();
    m.attr("logger") = sp::get_logger("sorvel_layer._internal.job_lane");

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
        .def_prop_ro("_semaphore", [](Lane &self) { settle(&self); return self.semaphore; })
        .def_prop_ro("_tasks", [](Lane &self) { return self.tasks.is_valid() ? self.tasks : nb::none(); })
        .def_prop_ro("_max_concurrency",
                     [](Lane &self) { return self.max_concurrency.is_valid() ? self.max_concurrency : nb::none(); });

    m.attr("__all__") = sp::names({"JobLane"});
}
