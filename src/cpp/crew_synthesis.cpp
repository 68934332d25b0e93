// crew_synthesis: placeholder until the module is written.
#include <nanobind/nanobind.h>

#include "common/py.hpp"

namespace nb = nanobind;

NB_MODULE(crew_synthesis, m) {
    sorvel::py::init();
    m.attr("__all__") = nb::list();
}
