// Figures from records as predict_curves_for_inputs gives them: device_metrics for one device,
// and the devices of a sweep that take the per-device steps.
#include "korva/curve/metrics/metrics.hpp"

namespace korva::curve::metrics {

using namespace nb::literals;

namespace {

// A record's variant label: "default" for the curve's only variant (curve_variant None).
nb::object label_of(nb::handle record) {
    nb::object variant = record["curve_variant"];
    return variant.is_none() ? nb::object(py::s("default")) : variant;
}

[[noreturn]] void raise_record(nb::handle curve, nb::handle label, const char* problem) {
    PyErr_Format(PyExc_ValueError, "the record of curve %R, variant %R, %s", curve.ptr(), label.ptr(), problem);
    throw nb::python_error();
}

}  // namespace

nb::dict curves_of_records(nb::handle records) {
    nb::dict curves;
    for (nb::handle record : records) {
        nb::object curve = record["curve_type"];
        if (!py::contains(curves, curve)) curves[curve] = nb::dict();
        nb::object variant = nb::dict();
        if (py::contains(record, py::s("_variant_dict"))) variant = record["_variant_dict"];
        curves[curve][label_of(record)] = variant;
    }
    return curves;
}

RecordCurves::RecordCurves(const py::Call& g, const Layout& layout, nb::handle records) {
    nb::object np = g("np");
    nb::object as_array = np.attr("ascontiguousarray"), float64 = np.attr("float64");
    nb::dict by_source;
    for (nb::handle record : records) by_source[nb::make_tuple(record["curve_type"], label_of(record))] = record;

    // Every array first (converting the lists can run Python code), then the views.
    for (const Source& source : layout.sources) {
        nb::object key = nb::make_tuple(source.curve, source.label);
        if (!py::contains(by_source, key))
            raise_record(source.curve, source.label, "which the figures read, is missing");
        nb::object record = by_source[key];
        arrays_.push_back(as_array(record["x_coords"], "dtype"_a = float64));
        arrays_.push_back(as_array(record["y_coords"], "dtype"_a = float64));
        arrays_.push_back(as_array(record["_y_coords"], "dtype"_a = float64));
    }
    nb::object ndarray = np.attr("ndarray");
    for (size_t i = 0; i < layout.sources.size(); ++i) {
        const Source& source = layout.sources[i];
        for (size_t k = 0; k < 3; ++k)
            if (nb::cast<Py_ssize_t>(arrays_[3 * i + k].attr("ndim")) != (k == 2 ? 2 : 1))
                raise_record(source.curve, source.label,
                             "needs x_coords and y_coords of one dimension and _y_coords of two");
        const core::Float64Array* x = hold(arrays_[3 * i], ndarray, 1);
        const core::Float64Array* mean = hold(arrays_[3 * i + 1], ndarray, 1);
        const core::Float64Array* submodels = hold(arrays_[3 * i + 2], ndarray, 2);
        Py_ssize_t n = x->shape(0);
        if (mean->shape(0) != n || submodels->shape(1) != n || submodels->shape(0) < 1 || n < 1)
            raise_record(source.curve, source.label,
                         "needs as many y_coords as x_coords, and at least one curve of as many in _y_coords");
        views_.push_back({x->contiguous(), n, mean->contiguous(), submodels->contiguous(), submodels->shape(0)});
    }
}

const core::Float64Array* RecordCurves::hold(nb::handle array, nb::handle ndarray, int ndim) {
    buffers_.push_back(std::make_unique<core::Float64Array>(array, ndarray, ndim));
    return buffers_.back().get();
}

nb::object device_metrics(const py::Call& g) {
    nb::handle records = g[0], inputs = g[1];
    DeviceKind kind = device_kind(g[2]);
    Criteria criteria = read_criteria(g, g[3], kind);
    Layout layout = make_layout(kind, curves_of_records(records), "records");

    Geometry geometry;
    if (kind == DeviceKind::pld) {
        double width = nb::cast<double>(nb::float_(inputs["Finger Width"]));
        double fingers = nb::cast<double>(nb::float_(inputs["nf"]));
        double length = nb::cast<double>(nb::float_(inputs["Length"]));
        geometry = {width * fingers / length, width * fingers};
    }
    RecordCurves curves(g, layout, records);
    std::vector<std::string> columns = float_columns(kind);
    std::vector<double> values(columns.size());
    bool censored = false;
    device_figures(layout, criteria, geometry, curves.views(), values.data(), &censored);

    nb::dict figures;
    for (size_t i = 0; i < columns.size(); ++i) figures[columns[i].c_str()] = nb::float_(values[i]);
    if (kind == DeviceKind::pld) figures["bv_censored"] = nb::bool_(censored);
    nb::object series = g("pd").attr("Series")(figures, "name"_a = nb::getattr(inputs, "name", nb::none()));
    series.attr("attrs")["metrics"] = metrics_attrs(layout, criteria);
    return series;
}

}  // namespace korva::curve::metrics
