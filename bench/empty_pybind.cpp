// Baseline for bench_operations.py: pybind11 functions that do nothing, built
// with the same pybind11 and -O2 as the module, so that a call measures only
// the pybind11 dispatch and argument conversion.
#include <pybind11/pybind11.h>

#include <cstdint>

namespace py = pybind11;

namespace {

struct Target {
  // Same argument list as VELACloud.SendCustomCmdMsg; returns at once.
  int Send(int32_t cmd_id, py::bytes message, bool reliable, bool ordered) {
    (void)cmd_id;
    (void)message;
    return reliable && ordered ? 1 : 0;
  }
};

}  // namespace

PYBIND11_MODULE(empty_pybind, m) {
  m.def("noop", [] {});
  py::class_<Target>(m, "Target")
      .def(py::init<>())
      .def("Send", &Target::Send, py::arg("cmd_id"), py::arg("message"), py::arg("reliable"), py::arg("ordered"));
}
