// korva.curve.mos_utils._predict_single_curve: one curve of one device at one variant, predicted
// by every submodel over a query matrix, with the smoothstep blend into the linear-scale model.
#include "korva/curve/core/core.hpp"

namespace korva::curve::mos_utils {

using namespace nb::literals;

namespace {

// stack[:count, :]
nb::object first_rows(nb::handle stack, nb::handle count) {
    return stack[nb::make_tuple(py::slice(nb::none(), count), py::slice(nb::none(), nb::none()))];
}

// np.tile(stack, (reps, 1))[:count, :] with reps = int(np.ceil(count / len(stack))): row i of the
// result is row i modulo the stack's row count.
nb::object repeat_rows(const py::Call& g, nb::handle stack, nb::handle count, nb::handle rows) {
    nb::object ceiling = g("np").attr("ceil")(count / rows);
    nb::object reps = g("int")(ceiling);
    nb::object tiled = g("np").attr("tile")(stack, nb::make_tuple(reps, nb::int_(1)));
    return first_rows(tiled, count);
}

}  // namespace

// The log-space stack blended row by row into the log10 of the floored linear-scale stack, the
// linear model's weight rising along the smoothstep ramp from 0 at the first x to 1 at the last.
nb::object blend_submodels(const py::Call& g, nb::object y_preds_submodels, nb::handle y_linear_preds_submodels,
                           nb::handle x_coords, nb::handle auto_linear_blend) {
    nb::object clipped = g("np").attr("clip")(y_linear_preds_submodels, nb::float_(1e-14), nb::none());
    nb::object y_linear_log_preds_submodels = g("np").attr("log10")(clipped);

    nb::object n_log = y_preds_submodels.attr("shape")[nb::int_(0)];
    nb::object n_lin = y_linear_log_preds_submodels.attr("shape")[nb::int_(0)];
    if (!py::equals(n_log, n_lin)) {
        if (py::compare(n_log, n_lin, Py_LT))
            y_preds_submodels = repeat_rows(g, y_preds_submodels, n_lin, n_log);
        else
            y_linear_log_preds_submodels = repeat_rows(g, y_linear_log_preds_submodels, n_log, n_lin);
    }

    // _smoothstep(np.linspace(0, 1, num=len(x_coords)), x_min=0, x_max=1, N=int(auto_linear_blend))
    nb::object smoothstep = g("_smoothstep");
    nb::object positions = g("np").attr("linspace")(nb::int_(0), nb::int_(1), "num"_a = g("len")(x_coords));
    nb::object order = g("int")(auto_linear_blend);
    nb::object weights = smoothstep(positions, "x_min"_a = nb::int_(0), "x_max"_a = nb::int_(1), "N"_a = order);

    nb::list blended_preds;
    nb::object one = nb::int_(1);
    for (nb::handle pair : g("zip")(y_preds_submodels, y_linear_log_preds_submodels)) {
        nb::object y_log = pair[nb::int_(0)], y_lin = pair[nb::int_(1)];
        nb::object complement = one - weights;
        nb::object log_part = y_log * complement;
        nb::object lin_part = y_lin * weights;
        blended_preds.append(log_part + lin_part);
    }
    return g("np").attr("array")(blended_preds);
}

nb::object _predict_single_curve(const py::Call& g) {
    nb::handle models = g[0], device_inputs = g[1], device_type = g[2], curve_type = g[3], variant = g[4],
               x_coords = g[5];
    nb::dict pred_kwargs = g.kwargs();

    nb::object config = core::Context(g).config(g[6], device_type);

    nb::object model = models[device_type][curve_type];

    nb::object static_inputs_for_model = nb::borrow(device_inputs);
    if (py::contains(config, py::s("INPUT_TRANSFORM")))
        static_inputs_for_model = config["INPUT_TRANSFORM"](device_inputs);
    nb::object base_cols = config["BASE_INPUT_COLS"];

    nb::list series_to_concat;
    series_to_concat.append(static_inputs_for_model[base_cols]);
    if (py::truthy(variant)) series_to_concat.append(g("pd").attr("Series")(variant));
    nb::object input_series = g("pd").attr("concat")(series_to_concat);

    // One row per x coordinate: the static inputs, then the x coordinate as the last column.
    nb::object tile = g("np").attr("tile");
    nb::object values = input_series.attr("values");
    nb::object static_inputs_repeated = tile(values, nb::make_tuple(g("len")(x_coords), nb::int_(1)));
    nb::object hstack = g("np").attr("hstack");
    nb::object x_column = x_coords.attr("reshape")(nb::int_(-1), nb::int_(1));
    nb::list blocks;
    blocks.append(static_inputs_repeated);
    blocks.append(x_column);
    nb::object X_query = hstack(blocks);

    nb::object y_preds_submodels = g("_predict_from_submodels")(model, X_query);

    nb::object auto_linear_blend = nb::int_(0);
    PyObject* given = nullptr;
    if (PyDict_GetItemStringRef(pred_kwargs.ptr(), "auto_linear_blend", &given) < 0) throw nb::python_error();
    if (given) auto_linear_blend = nb::steal(given);
    return blend_if_asked(g, models, device_type, curve_type, x_coords, X_query, y_preds_submodels, auto_linear_blend);
}

nb::object blend_if_asked(const py::Call& g, nb::handle models, nb::handle device_type, nb::handle curve_type,
                          nb::handle x_coords, nb::handle X_query, nb::object y_preds_submodels,
                          nb::handle auto_linear_blend) {
    nb::str linear_model_name = py::f_string("", curve_type, ".linear");
    if (py::compare(auto_linear_blend, nb::int_(0), Py_GT) && py::contains(models[device_type], linear_model_name)) {
        nb::object linear_model = models[device_type][linear_model_name];
        nb::object y_linear_preds_submodels = g("_predict_from_submodels")(linear_model, X_query);
        return blend_submodels(g, y_preds_submodels, y_linear_preds_submodels, x_coords, auto_linear_blend);
    }
    return y_preds_submodels;
}

}  // namespace korva::curve::mos_utils
