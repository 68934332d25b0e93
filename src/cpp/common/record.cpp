// common/record.cpp: frozen value records.
#include "common/record.hpp"

namespace sorvel::py {

namespace {

// Set while the module loads; never released.
struct State {
    PyObject *dataclasses = nullptr;
    PyObject *frozen_error = nullptr;  // dataclasses.FrozenInstanceError
};
State g;

void load() {
    if (g.dataclasses) return;
    nb::object dc = nb::module_::import_("dataclasses");
    g.frozen_error = nb::object(dc.attr("FrozenInstanceError")).release().ptr();
    g.dataclasses = dc.release().ptr();
}

int frozen_setattro(PyObject *, PyObject *name, PyObject *value) {
    PyErr_Format(g.frozen_error, value ? "cannot assign to field %R" : "cannot delete field %R",
                 name);
    return -1;
}

const PyType_Slot kFrozenSlots[] = {
    {Py_tp_setattro, reinterpret_cast<void *>(frozen_setattro)},
    {0, nullptr},
};

}  // namespace

const PyType_Slot *frozen_slots() {
    load();  // the error type exists before the first instance does
    return kFrozenSlots;
}

void finish_record(nb::handle cls, nb::handle fields) {
    load();
    nb::list names;
    for (nb::handle f : fields) names.append(f[0]);
    cls.attr("__match_args__") = nb::tuple(names);
    // A frozen dataclass of the same name and fields lends its field objects
    // and parameters; the record keeps its own methods.
    nb::object twin = nb::handle(g.dataclasses)
                          .attr("make_dataclass")(cls.attr("__name__"), fields,
                                                  nb::arg("frozen") = true);
    cls.attr("__dataclass_fields__") = twin.attr("__dataclass_fields__");
    cls.attr("__dataclass_params__") = twin.attr("__dataclass_params__");
}

nb::object field_with_default(nb::handle value) {
    load();
    return nb::handle(g.dataclasses).attr("field")(nb::arg("default") = value);
}

}  // namespace sorvel::py
