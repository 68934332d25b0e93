// tuning_bundle: placeholder until the module is written.
#include <nanobind/nanobind.h>

#include "common/py.hpp"

namespace nb = nanobind;

NB_MODULE(tuning_bundle, m) {
    sorvel::py::init();
    m.attr("__all__") = nb::list();
}
