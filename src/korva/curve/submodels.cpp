// korva.curve.mos_utils._predict_from_submodels: the predictions of each submodel of a model, as
// the rows of one array (the estimators of a VotingRegressor, or the model itself).
#include "korva/curve/mos_utils.hpp"

namespace korva::curve::mos_utils {

nb::object _predict_from_submodels(const py::Call& g) {
    nb::handle model = g[0], X = g[1];
    if (py::truthy(g("isinstance")(model, g("VotingRegressor")))) {
        // The ensemble's own average is never used: each fitted estimator predicts on its own.
        nb::list predictions;
        for (nb::handle estimator : model.attr("estimators_")) predictions.append(estimator.attr("predict")(X));
        return g("np").attr("array")(predictions);
    }
    if (py::truthy(g("hasattr")(model, "predict"))) {
        nb::object y_pred = model.attr("predict")(X);
        nb::list rows;
        rows.append(y_pred);
        return g("np").attr("array")(rows);
    }
    py::raise(g("ValueError"), "Model must have a 'predict' method or be a VotingRegressor.");
}

}  // namespace korva::curve::mos_utils
