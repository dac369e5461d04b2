// The figures of merit as korva.curve.design sees them: whatever columns predict_device_metrics
// gives with a "_std" companion, found without predicting anything, then predicted a population at
// a time with failing devices kept as NaN rows.
#include "korva/curve/design/design.hpp"

#include <algorithm>

namespace korva::curve::design {

namespace {

// The criteria for `devices`: a callable "area" (a design's area follows from its inputs) is called
// on the devices and its result passed on in its place; anything else goes as it is.
nb::object criteria_for(nb::handle criteria, nb::handle devices) {
    if (!PyDict_Check(criteria.ptr())) return nb::borrow(criteria);
    PyObject* found = nullptr;
    if (PyDict_GetItemStringRef(criteria.ptr(), "area", &found) < 0) throw nb::python_error();
    nb::object area = nb::steal(found);
    if (!area.is_valid() || !PyCallable_Check(area.ptr())) return nb::borrow(criteria);
    nb::object copy = nb::steal(PyDict_Copy(criteria.ptr()));
    if (!copy.is_valid()) throw nb::python_error();
    copy["area"] = area(devices);
    return copy;
}

}  // namespace

nb::object Predictor::predict(const py::Call& g, nb::handle devices, bool show_progress) const {
    nb::object predict_device_metrics = g("metrics").attr("predict_device_metrics");
    return predict_device_metrics(models, devices, device_type, config, criteria_for(criteria, devices),
                                  "exact"_a = exact,
                                  "errors"_a = "return", "progress"_a = show_progress && progress,
                                  "n_jobs"_a = n_jobs);
}

std::vector<std::string> Predictor::figures(const py::Call& g, const Space& space) const {
    // No device, no prediction: the call checks its arguments and names its columns.
    nb::object frame = predict(g, space.devices(g, nullptr, 0, 0), false);
    std::vector<std::string> columns;
    for (nb::handle column : g("list")(frame.attr("columns")))
        if (PyUnicode_Check(column.ptr())) columns.push_back(nb::borrow<nb::str>(column).c_str());
    std::vector<std::string> figures;
    for (const std::string& column : columns)
        if (std::find(columns.begin(), columns.end(), column + "_std") != columns.end()) figures.push_back(column);
    return figures;
}

void check_figure(nb::handle name, const std::vector<std::string>& available, const char* what) {
    if (!PyUnicode_Check(name.ptr())) {
        PyErr_Format(PyExc_TypeError, "%s must name figures by str, not %.200s", what, Py_TYPE(name.ptr())->tp_name);
        throw nb::python_error();
    }
    for (const std::string& figure : available)
        if (py::equals(name, figure.c_str())) return;
    nb::list names;
    for (const std::string& figure : available) names.append(figure.c_str());
    PyErr_Format(PyExc_ValueError, "%s names %R, which is not a figure of merit of these devices; the figures are %R",
                 what, name.ptr(), names.ptr());
    throw nb::python_error();
}

std::vector<double> read_column(const py::Call& g, nb::handle frame, nb::handle name, Py_ssize_t rows) {
    nb::object values = frame[name].attr("to_numpy")("dtype"_a = g("np").attr("float64"));
    nb::object what = py::f_string("the figures' column ", nb::repr(name));
    return copy_float64(values, {rows}, PyUnicode_AsUTF8(what.ptr()));
}

Failures failures_of(nb::handle frame) {
    Failures failures{0, nb::none()};
    if (!py::contains(frame.attr("columns"), py::s("error"))) return failures;
    nb::object errors = frame["error"];
    nb::object failed = errors[errors.attr("notna")()];
    failures.count = (Py_ssize_t) nb::len(failed);
    if (failures.count) failures.first = failed.attr("iloc")[0];
    return failures;
}

}  // namespace korva::curve::design
