// What the figures read from the devices besides their curves, checked before anything is predicted
// (models, columns, each device's geometry, inputs and criteria), and the training domain.
#include "korva/curve/metrics/predict.hpp"

#include "korva/curve/mos_utils.hpp"

#include <array>
#include <cmath>
#include <string>

namespace korva::curve::metrics {

using namespace nb::literals;

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

const char* const geometry_labels[] = {"Finger Width", "nf", "Length"};
const char* const nld_raw_labels[] = {"A", "B", "C", "D", "E"};

// A column's values as float64, one per device, NaN where a value is not a number.
std::unique_ptr<Doubles> numbers_of(const py::Call& g, nb::handle column, Py_ssize_t count, const std::string& what) {
    nb::object np = g("np");
    nb::object numeric = g("pd").attr("to_numeric")(column, "errors"_a = "coerce");
    nb::object values = np.attr("ascontiguousarray")(
        numeric.attr("to_numpy")("dtype"_a = np.attr("float64"), "na_value"_a = nan), "dtype"_a = np.attr("float64"));
    auto doubles = std::make_unique<Doubles>(values, np.attr("ndarray"), 1, what.c_str());
    doubles->expect({count}, what.c_str());
    return doubles;
}

[[noreturn]] void raise_error(nb::handle error) {
    PyErr_SetObject((PyObject*) Py_TYPE(error.ptr()), error.ptr());
    throw nb::python_error();
}

nb::object value_error(nb::handle message) {
    nb::object error = nb::steal(PyObject_CallOneArg(PyExc_ValueError, message.ptr()));
    if (!error.is_valid()) throw nb::python_error();
    return error;
}

// "device 'd3': <subject> must be <needs>, not <value>", a number shown as a float (nan, not np.float64(nan)).
nb::object problem(nb::handle label, nb::handle subject, const char* needs, nb::handle value) {
    nb::object shown = nb::borrow(value);
    if (!PyUnicode_Check(value.ptr()) && !PyBytes_Check(value.ptr())) {
        nb::object number = nb::steal(PyNumber_Float(value.ptr()));
        if (number.is_valid()) shown = number;
        else if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError)) PyErr_Clear();
        else throw nb::python_error();
    }
    return value_error(nb::str("device {!r}: {} must be {}, not {!r}").format(label, subject, needs, shown));
}

// The raw inputs the configuration has every device's row give its models (beyond the geometry):
// its base input columns, or "A" to "E" for the table's own NLD transform. A transform of the
// caller's own reads what it reads.
nb::list model_inputs(const py::Call& g, nb::handle config) {
    nb::list labels;
    if (py::contains(config, py::s("INPUT_TRANSFORM"))) {
        nb::object curve_module = g("mos_utils");
        if (!PyModule_Check(curve_module.ptr())) return labels;
        nb::handle globals = PyModule_GetDict(curve_module.ptr());
        if (!py::is_function(config["INPUT_TRANSFORM"], mos_utils::nld_input_transform, globals)) return labels;
        for (const char* label : nld_raw_labels) labels.append(label);
        return labels;
    }
    nb::object base = config["BASE_INPUT_COLS"];
    if (PyList_Check(base.ptr()))
        for (nb::handle label : nb::list(base)) labels.append(label);
    return labels;
}

// The column, the aligned Series, or the array (as a Series over the devices' rows) of a per-device
// criterion.
nb::object criterion_values(const py::Call& g, const char* name, const PerDevice& criterion, nb::handle devices) {
    if (!py::truthy(g("isinstance")(criterion.source, g("pd").attr("Series"))) &&
        !PyUnicode_Check(criterion.source.ptr())) {
        if (nb::len(criterion.source) != nb::len(devices))
            py::raise(PyExc_ValueError, nb::str("criterion {}: an array must hold one value per device ({}), not {}")
                                            .format(name, nb::len(devices), nb::len(criterion.source)));
        return g("pd").attr("Series")(criterion.source, "index"_a = devices.attr("index"));
    }
    if (PyUnicode_Check(criterion.source.ptr())) {
        if (!py::contains(devices.attr("columns"), criterion.source))
            py::raise(PyExc_ValueError,
                      nb::str("criterion {} names no column of devices: {!r}").format(name, criterion.source));
        return devices[criterion.source];
    }
    if (!py::truthy(criterion.source.attr("index").attr("equals")(devices.attr("index"))))
        py::raise(PyExc_ValueError,
                  nb::str("criterion {}: a Series must have the index of devices (the same labels in the same "
                          "order; reindex it with .reindex(devices.index))")
                      .format(name));
    return criterion.source;
}

nb::object subject_of(const py::Call& g, const char* name, const PerDevice& criterion) {
    if (PyUnicode_Check(criterion.source.ptr()))
        return nb::str("criterion {} (column {!r})").format(name, criterion.source);
    bool series = py::truthy(g("isinstance")(criterion.source, g("pd").attr("Series")));
    return nb::str("criterion {} ({})").format(name, series ? "Series" : "array");
}

bool positive(double v) { return std::isfinite(v) && v > 0.0; }

// One value of a device's input Series as a float, NaN when it is not a number.
double number_in(nb::handle value) {
    nb::object number = nb::steal(PyNumber_Float(value.ptr()));
    if (!number.is_valid()) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError))
            throw nb::python_error();
        PyErr_Clear();
        return nan;
    }
    return PyFloat_AS_DOUBLE(number.ptr());
}

// The criteria that may be given per device, each with the field of Device it fills.
struct PerDeviceField {
    const char* name;
    const PerDevice& criterion;
    double Device::*field;
};

std::array<PerDeviceField, 3> per_device_fields(const Criteria& c) {
    return {{{"i_vth", c.i_vth, &Device::i_vth}, {"i_bv", c.i_bv, &Device::i_bv}, {"area", c.area, &Device::area}}};
}

}  // namespace

void check_models(nb::handle models, nb::handle device_type, const Layout& layout) {
    nb::list curves = layout.curve_types();
    if (!py::contains(models, device_type)) {
        nb::object message = nb::str("models has no entry for device type {!r}").format(device_type);
        bool inner = false;
        for (nb::handle curve : curves) inner = inner || py::contains(models, curve);
        if (inner)
            message = message + nb::str(": it holds curve models, as models[{!r}] does; pass the outer dict "
                                        "{{device type: {{curve type: model}}}}")
                                    .format(device_type);
        py::raise(PyExc_KeyError, message);
    }
    nb::object own = models[device_type];
    nb::list missing;
    for (nb::handle curve : curves)
        if (!py::contains(own, curve)) missing.append(curve);
    if (nb::len(missing))
        py::raise(PyExc_KeyError,
                  nb::str("models[{!r}] has no model for the curves {!r}, which the figures of merit read")
                      .format(device_type, missing));
}

void check_columns(nb::handle devices) {
    nb::object columns = devices.attr("columns");
    if (py::truthy(columns.attr("is_unique"))) return;
    nb::object repeated = columns[columns.attr("duplicated")()].attr("unique")().attr("tolist")();
    py::raise(PyExc_ValueError,
              nb::str("devices has repeated columns {!r}: each input must be one column").format(repeated));
}

DeviceTable read_devices(const py::Call& g, const SweepRequest& request) {
    nb::handle devices = request.devices;
    Py_ssize_t count = (Py_ssize_t) nb::len(devices);
    DeviceTable table{std::vector<Device>((size_t) count), std::vector<nb::object>((size_t) count)};
    nb::object index = devices.attr("index"), columns = devices.attr("columns");
    auto flag = [&](Py_ssize_t row, nb::handle subject, const char* needs, nb::handle column) {
        if (table.problems[row].is_valid()) return;  // the first problem of a device is its error
        table.problems[row] = problem(index[nb::int_(row)], subject, needs, column.attr("iloc")[nb::int_(row)]);
    };

    // Geometry (PLD): W = "Finger Width" x "nf", L = "Length".
    if (request.layout.kind == DeviceKind::pld) {
        nb::list missing;
        for (const char* label : geometry_labels)
            if (!py::contains(columns, py::s(label))) missing.append(label);
        if (nb::len(missing))
            py::raise(PyExc_KeyError, nb::str("devices has no column for the geometry inputs {!r} that the figures of "
                                              "merit of 'PLD' read")
                                          .format(missing));
        std::unique_ptr<Doubles> values[3];
        for (size_t k = 0; k < 3; ++k) {
            nb::object column = devices[geometry_labels[k]];
            values[k] = numbers_of(g, column, count, std::string("the column '") + geometry_labels[k] + "'");
            const double* v = values[k]->data();
            for (Py_ssize_t row = 0; row < count; ++row)
                if (!positive(v[row]))
                    flag(row, nb::str("input {!r}").format(geometry_labels[k]), "a finite positive number", column);
        }
        for (Py_ssize_t row = 0; row < count; ++row) {
            double w = values[0]->data()[row] * values[1]->data()[row];
            table.devices[row].w = w;
            table.devices[row].w_over_l = w / values[2]->data()[row];
        }
    }

    // The other inputs the models read: finite.
    for (nb::handle label : model_inputs(g, request.resolved_config)) {
        if (!py::contains(columns, label)) continue;  // the batch names every missing input column
        bool geometry = false;
        for (const char* known : geometry_labels)
            geometry = geometry || (PyUnicode_Check(label.ptr()) && py::equals(label, known));
        if (geometry && request.layout.kind == DeviceKind::pld) continue;
        nb::object column = devices[label];
        nb::str what = nb::str("the column {!r}").format(label);
        auto values = numbers_of(g, column, count, what.c_str());
        for (Py_ssize_t row = 0; row < count; ++row)
            if (!std::isfinite(values->data()[row]))
                flag(row, nb::str("input {!r}").format(label), "a finite number", column);
    }

    // The criteria given per device: finite and positive.
    const Criteria& c = request.criteria;
    for (const PerDeviceField& given : per_device_fields(c)) {
        if (!given.criterion.source.is_valid()) {
            for (Device& device : table.devices) device.*given.field = given.criterion.value;
            continue;
        }
        nb::object column = criterion_values(g, given.name, given.criterion, devices);
        nb::object subject = subject_of(g, given.name, given.criterion);
        auto values = numbers_of(g, column, count, std::string("the values of criterion ") + given.name);
        for (Py_ssize_t row = 0; row < count; ++row) {
            double v = values->data()[row];
            table.devices[row].*given.field = v;
            if (!positive(v)) flag(row, subject, "a finite positive number", column);
        }
    }
    return table;
}

Device device_of_series(const py::Call& g, DeviceKind kind, const Criteria& c, nb::handle inputs) {
    Device device;
    nb::object label = nb::getattr(inputs, "name", nb::none());
    auto need = [&](nb::handle subject, nb::handle value) {
        double number = number_in(value);
        if (!positive(number)) raise_error(problem(label, subject, "a finite positive number", value));
        return number;
    };
    if (kind == DeviceKind::pld) {
        double values[3];
        for (size_t k = 0; k < 3; ++k) {
            nb::object subject = nb::str("input {!r}").format(geometry_labels[k]);
            values[k] = need(subject, inputs[geometry_labels[k]]);
        }
        double w = values[0] * values[1];
        device.w = w;
        device.w_over_l = w / values[2];
    }
    for (const PerDeviceField& given : per_device_fields(c)) {
        if (!given.criterion.source.is_valid()) {
            device.*given.field = given.criterion.value;
            continue;
        }
        if (!PyUnicode_Check(given.criterion.source.ptr()))
            py::raise(PyExc_ValueError, nb::str("criterion {}: a Series or an array is for predict_device_metrics; "
                                                "give device_metrics a number or the name of one of the device's "
                                                "inputs")
                                            .format(given.name));
        if (!py::contains(inputs.attr("index"), given.criterion.source))
            py::raise(PyExc_ValueError, nb::str("criterion {} names no input of the device: {!r}")
                                            .format(given.name, given.criterion.source));
        device.*given.field = need(subject_of(g, given.name, given.criterion), inputs[given.criterion.source]);
    }
    return device;
}

nb::object read_domain(const py::Call& g, nb::handle domain, nb::handle devices) {
    if (domain.is_none()) return nb::none();
    nb::object columns = devices.attr("columns");
    nb::dict resolved;
    if (py::truthy(g("isinstance")(domain, g("pd").attr("DataFrame")))) {
        if (!py::truthy(domain.attr("columns").attr("is_unique")))
            py::raise(PyExc_ValueError, "domain: the DataFrame of training inputs has repeated columns");
        nb::object to_numeric = g("pd").attr("to_numeric");
        for (nb::handle column : g("list")(domain.attr("columns"))) {
            if (!py::contains(columns, column)) continue;  // an output, a bias or x of the training rows
            nb::object values = to_numeric(domain[column], "errors"_a = "coerce");
            double low = nb::cast<double>(nb::float_(values.attr("min")()));
            double high = nb::cast<double>(nb::float_(values.attr("max")()));
            if (std::isnan(low) || std::isnan(high))
                py::raise(PyExc_ValueError,
                          nb::str("domain: column {!r} of the training DataFrame holds no numbers").format(column));
            resolved[column] = nb::make_tuple(nb::float_(low), nb::float_(high));
        }
        if (nb::len(resolved) == 0)
            py::raise(PyExc_ValueError, "domain: the DataFrame of training inputs shares no column with devices");
        return resolved;
    }
    if (!PyDict_Check(domain.ptr())) {
        PyErr_Format(PyExc_TypeError,
                     "domain must be None, a dict {input: (low, high)} or a DataFrame of the training inputs, "
                     "not %.200s",
                     Py_TYPE(domain.ptr())->tp_name);
        throw nb::python_error();
    }
    nb::object items = nb::steal(PyDict_Items(domain.ptr()));
    if (!items.is_valid()) throw nb::python_error();
    nb::object real = py::import_from("numbers", "Real");
    for (nb::handle item : items) {
        nb::object column = item[0], range = item[1];
        if (!py::contains(columns, column))
            py::raise(PyExc_ValueError, nb::str("domain: {!r} is not a column of devices").format(column));
        auto refuse = [&]() {
            py::raise(PyExc_ValueError,
                      nb::str("domain: the range of {!r} must be (low, high), two numbers with low <= high, not {!r}")
                          .format(column, range));
        };
        if (!PyTuple_Check(range.ptr()) && !PyList_Check(range.ptr())) refuse();
        nb::object pair = g("tuple")(range);
        if (nb::len(pair) != 2) refuse();
        for (size_t k = 0; k < 2; ++k)
            if (PyBool_Check(pair[k].ptr()) || !py::truthy(g("isinstance")(pair[k], real))) refuse();
        double low = nb::cast<double>(nb::float_(pair[0])), high = nb::cast<double>(nb::float_(pair[1]));
        if (!(low <= high)) refuse();
        resolved[column] = nb::make_tuple(nb::float_(low), nb::float_(high));
    }
    return resolved;
}

nb::object in_domain(const py::Call& g, nb::handle domain, nb::handle devices) {
    Py_ssize_t count = (Py_ssize_t) nb::len(devices);
    std::vector<char> inside((size_t) count, 1);
    nb::object items = nb::steal(PyDict_Items(domain.ptr()));
    if (!items.is_valid()) throw nb::python_error();
    for (nb::handle item : items) {
        double low = nb::cast<double>(item[1][0]), high = nb::cast<double>(item[1][1]);
        nb::str what = nb::str("the column {!r}").format(item[0]);
        auto values = numbers_of(g, devices[item[0]], count, what.c_str());
        for (Py_ssize_t row = 0; row < count; ++row)
            if (!(values->data()[row] >= low && values->data()[row] <= high)) inside[row] = 0;
    }
    nb::object np = g("np");
    nb::bytes flags(inside.data(), inside.size());
    return np.attr("frombuffer")(flags, "dtype"_a = np.attr("bool_")).attr("copy")();
}

}  // namespace korva::curve::metrics
