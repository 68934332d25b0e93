// common/record.hpp: frozen value records. A class bound with nanobind
// becomes one with nb::type_slots(frozen_slots()) (no attribute can be set or
// deleted: dataclasses.FrozenInstanceError, as a frozen dataclass raises) and
// finish_record() once it is bound (__match_args__ and the dataclass
// protocol: dataclasses.fields, asdict, replace, is_dataclass).
#pragma once

#include <nanobind/nanobind.h>

namespace sorvel::py {

namespace nb = nanobind;

/// The slots of a read-only instance type; imports dataclasses.
const PyType_Slot *frozen_slots();

/// `fields` is a sequence of (name, type) or (name, type, dataclasses.field(...))
/// tuples in declaration order, as dataclasses.make_dataclass takes them.
void finish_record(nb::handle cls, nb::handle fields);

/// dataclasses.field(default=value).
nb::object field_with_default(nb::handle value);

}  // namespace sorvel::py
