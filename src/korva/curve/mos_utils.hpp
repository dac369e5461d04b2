// korva.curve.mos_utils: device curve prediction from trained regression models. The module body
// lives in mos_utils.cpp; each function and the configuration table have a source of their own.
#pragma once

#include "korva/module_body.hpp"

#include <memory>

namespace korva::curve::mos_utils {

// _smoothstep(x, x_min=0, x_max=1, N=1): the generalized smoothstep of the clipped position.
nb::object _smoothstep(const py::Call& g);

// _predict_from_submodels(model, X): one prediction row per submodel of a voting ensemble.
nb::object _predict_from_submodels(const py::Call& g);

// _predict_single_curve(...): one curve and variant of one device, blended into the linear model.
nb::object _predict_single_curve(const py::Call& g);

// predict_curves_for_inputs(...): the curve records of every requested curve and variant.
nb::object predict_curves_for_inputs(const py::Call& g);

// The single-device fast path of predict_curves_for_inputs: the submodel curves of each variant
// through the vectorised curve core, while every guard holds and everything the plan resolved is
// what the literal steps would read at that point; the literal steps from the first difference on.
class FastCurves {
public:
    explicit FastCurves(const py::Call& g);  // the guards and the plan; inactive when one fails
    ~FastCurves();

    // What predict_curves_for_inputs resolved first: the configuration and prediction parameters.
    void begin(nb::handle config, nb::handle pred_params);

    // What `predict` (the module's _predict_single_curve, read now) would return for this curve and
    // variant, or an invalid object: the caller then makes that call.
    nb::object curve(nb::handle predict, nb::handle curve_type, nb::handle curve_info, nb::handle variants,
                     nb::handle x_coords, nb::handle variant_label, nb::handle variant_dict);

private:
    struct State;
    std::unique_ptr<State> state_;
};

// The steps of a single curve after the log-space prediction `y_preds_submodels` on `X_query`: the
// blend into the ".linear" model when `auto_linear_blend` asks for it and the model is there.
nb::object blend_if_asked(const py::Call& g, nb::handle models, nb::handle device_type, nb::handle curve_type,
                          nb::handle x_coords, nb::handle X_query, nb::object y_preds_submodels,
                          nb::handle auto_linear_blend);

// Step 13 of a single curve: the log-space submodel stack blended into the linear-scale one.
nb::object blend_submodels(const py::Call& g, nb::object y_preds_submodels, nb::handle y_linear_preds_submodels,
                           nb::handle x_coords, nb::handle auto_linear_blend);

// The NLD input transform held in the table: lambda d: pd.Series({...}) of the derived inputs.
nb::object nld_input_transform(const py::Call& g);

// Builds the _DEVICE_CONFIG table (with the NLD input transform) and binds it in the module.
void bind_device_config(const ModuleBody& m);

void body(const ModuleBody& m);

}  // namespace korva::curve::mos_utils
