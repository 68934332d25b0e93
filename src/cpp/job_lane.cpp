// job_lane: placeholder until the module is written.
#include <nanobind/nanobind.h>

#include "common/py.hpp"

namespace nb = nanobind;

NB_MODULE(job_lane, m) {
    sorvel::py::init();
    m.attr("__all__") = nb::list();
}
