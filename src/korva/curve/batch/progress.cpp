// Progress over the devices of a batch: tqdm when it is installed (an optional dependency), else a
// plain line on stderr.
#include "korva/curve/batch/progress.hpp"

#include "korva/py/attached_thread.hpp"

#include <cxxabi.h>

namespace korva::curve::batch {

using namespace nb::literals;

Progress::Progress(bool enabled, Py_ssize_t total) : enabled_(enabled), total_(total) {
    if (!enabled_) return;
    nb::object stderr_stream = py::import("sys").attr("stderr");
    try {
        nb::object tqdm = py::import_from("tqdm", "tqdm");
        bar_ = tqdm("total"_a = total, "unit"_a = "device", "desc"_a = "korva curves", "file"_a = stderr_stream);
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_ImportError)) throw;
        stream_ = stderr_stream;
        write_line("");
    }
}

Progress::~Progress() {
    // Unwinding from an exception: close the bar without masking what is propagating. Not on a
    // thread the interpreter is ending, nor once it finalises (writing could take the GIL again).
    if (!enabled_ || !py::attached() || Py_IsFinalizing()) return;
    PyObject* pending = PyErr_GetRaisedException();
    try {
        close();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
    }
    PyErr_Clear();
    PyErr_SetRaisedException(pending);
}

void Progress::advance(Py_ssize_t devices) {
    if (!enabled_) return;
    done_ += devices;
    if (bar_.is_valid())
        bar_.attr("update")(devices);
    else
        write_line("");
}

void Progress::close() {
    if (!enabled_) return;
    enabled_ = false;
    if (bar_.is_valid())
        bar_.attr("close")();
    else
        write_line("\n");
}

void Progress::write_line(const char* end) {
    nb::object line = nb::steal(PyUnicode_FromFormat("\rkorva curves: %zd/%zd devices%s", done_, total_, end));
    if (!line.is_valid()) throw nb::python_error();
    stream_.attr("write")(line);
    stream_.attr("flush")();
}

}  // namespace korva::curve::batch
