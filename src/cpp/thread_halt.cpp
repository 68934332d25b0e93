// thread_halt: placeholder until the module is written.
#include <nanobind/nanobind.h>

#include "common/py.hpp"

namespace nb = nanobind;

NB_MODULE(thread_halt, m) {
    sorvel::py::init();
    m.attr("__all__") = nb::list();
}
