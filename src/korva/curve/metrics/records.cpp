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
    std::vector<nb::object> arrays;
    for (const Source& source : layout.sources) {
        nb::object key = nb::make_tuple(source.curve, source.label);
        if (!py::contains(by_source, key))
            raise_record(source.curve, source.label, "which the figures read, is missing");
        nb::object record = by_source[key];
        arrays.push_back(as_array(record["x_coords"], "dtype"_a = float64));
        arrays.push_back(as_array(record["y_coords"], "dtype"_a = float64));
        arrays.push_back(as_array(record["_y_coords"], "dtype"_a = float64));
    }
    nb::object ndarray = np.attr("ndarray");
    const char* const names[] = {"x_coords", "y_coords", "_y_coords"};
    for (size_t i = 0; i < layout.sources.size(); ++i) {
        const Source& source = layout.sources[i];
        for (size_t k = 0; k < 3; ++k) {
            if (nb::cast<Py_ssize_t>(arrays[3 * i + k].attr("ndim")) != (k == 2 ? 2 : 1))
                raise_record(source.curve, source.label,
                             "needs x_coords and y_coords of one dimension and _y_coords of two");
            arrays_.push_back(std::make_unique<Doubles>(arrays[3 * i + k], ndarray, k == 2 ? 2 : 1, names[k]));
        }
        const Doubles &x = *arrays_[3 * i], &mean = *arrays_[3 * i + 1], &submodels = *arrays_[3 * i + 2];
        Py_ssize_t n = x.shape(0);
        if (mean.shape(0) != n || submodels.shape(1) != n || submodels.shape(0) < 1 || n < 1)
            raise_record(source.curve, source.label,
                         "needs as many y_coords as x_coords, and at least one curve of as many in _y_coords");
        views_.push_back({x.data(), n, mean.data(), submodels.data(), submodels.shape(0)});
    }
}

std::vector<const Doubles*> RecordCurves::x() const {
    std::vector<const Doubles*> x;
    for (size_t i = 0; i < arrays_.size(); i += 3) x.push_back(arrays_[i].get());
    return x;
}

nb::object device_metrics(const py::Call& g) {
    nb::handle records = g[0], inputs = g[1];
    DeviceKind kind = device_kind(g[2]);
    Criteria criteria = read_criteria(g, g[3], kind);
    Layout layout = make_layout(kind, curves_of_records(records), "records", criteria);
    Device device = device_of_series(g, kind, criteria, inputs);
    RecordCurves curves(g, layout, records);
    check_curves(layout, criteria, curves.x(), "records");

    std::vector<double> values(float_width(kind));
    Flags flags;
    device_figures(layout, criteria, device, curves.views(), values.data(), &flags);

    nb::dict figures;
    for (const Column& column : columns_of(kind)) {
        const char* name = column.name.c_str();
        switch (column.type) {
            case Column::value: figures[name] = nb::float_(values[2 * column.figure]); break;
            case Column::spread: figures[name] = nb::float_(values[2 * column.figure + 1]); break;
            case Column::bv_censored: figures[name] = nb::bool_(flags.bv_censored); break;
            case Column::ron_coarse: figures[name] = nb::bool_(flags.ron_coarse); break;
            case Column::vth_status: figures[name] = status_names[flags.vth_status]; break;
            case Column::vth_sat_status: figures[name] = status_names[flags.vth_sat_status]; break;
        }
    }
    nb::object series = g("pd").attr("Series")(figures, "name"_a = nb::getattr(inputs, "name", nb::none()));
    series.attr("attrs")["metrics"] = metrics_attrs(layout, criteria);
    return series;
}

}  // namespace korva::curve::metrics
