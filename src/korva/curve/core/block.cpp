// The curve steps for a block of devices at once. Per job: the query matrices (one stacked for the
// estimators that may see all devices' rows, the devices' own for the others), the submodel
// predictions, the clip/log10 and smoothstep blend, as whole-array numpy operations whose every
// element is computed as the per-device steps compute it.
#include "korva/curve/core/core.hpp"

#include "korva/curve/core/float64.hpp"

#include <cstring>

namespace korva::curve::core {

using namespace nb::literals;

namespace {

// Copies a prediction of `devices * points` values (a 1-D float64 ndarray) into
// stack[first + d, submodel, :] for the d-th group of `points` values.
void copy_prediction(nb::handle prediction, nb::handle ndarray, const Float64Array& stack, Py_ssize_t first,
                     Py_ssize_t devices, Py_ssize_t submodel) {
    Float64Array values(prediction, ndarray, 1);
    Py_ssize_t submodels = stack.shape(1), points = stack.shape(2);
    if (values.shape(0) != devices * points) throw NotVectorisable{};
    double* out = stack.contiguous() + ((first * submodels) + submodel) * points;
    const double* in = values.contiguous();
    for (Py_ssize_t d = 0; d < devices; ++d, out += submodels * points) {
        if (in)
            std::memcpy(out, in + d * points, sizeof(double) * points);
        else
            for (Py_ssize_t r = 0; r < points; ++r) out[r] = values.at(d * points + r);
    }
}

// The (devices, submodels, points) stack of one model: what _predict_from_submodels(model, X)
// returns for each device, one device per slice of the first axis.
nb::object submodel_stack(nb::handle np, nb::handle ndarray, const ModelCalls& calls, Queries& queries) {
    Py_ssize_t n = queries.devices(), points = queries.points();
    if (calls.through.is_valid()) {
        // A replaced _predict_from_submodels: called as the per-device steps call it.
        nb::object stack;
        for (Py_ssize_t d = 0; d < n; ++d) {
            nb::object result = calls.through(calls.model, queries.device(d));
            Float64Array values(result, ndarray, 2);
            Py_ssize_t count = values.shape(0);
            if (values.shape(1) != points || count == 0) throw NotVectorisable{};
            if (!stack.is_valid()) stack = empty(np, {n, count, points});
            Float64Array out(stack, ndarray, 3, true);
            if (out.shape(1) != count) throw NotVectorisable{};
            for (Py_ssize_t s = 0; s < count; ++s)
                for (Py_ssize_t r = 0; r < points; ++r) out.at(d, s, r) = values.at(s, r);
        }
        return stack;
    }

    Py_ssize_t count = (Py_ssize_t) calls.submodels.size();
    nb::object stack = empty(np, {n, count, points});
    Float64Array out(stack, ndarray, 3, true);
    for (Py_ssize_t s = 0; s < count; ++s) {
        const Submodel& submodel = calls.submodels[s];
        if (submodel.stacks || n == 1) {
            copy_prediction(submodel.predict(queries.stacked()), ndarray, out, 0, n, s);
            continue;
        }
        for (Py_ssize_t d = 0; d < n; ++d) copy_prediction(submodel.predict(queries.device(d)), ndarray, out, d, 1, s);
    }
    return stack;
}

// stack[:, np.arange(count) % stack.shape[1], :]: the submodel rows repeated to `count`, row i
// being row i modulo the stack's own count, as np.tile(...)[:count, :] gives them.
nb::object repeat_submodels(nb::handle np, nb::handle stack, Py_ssize_t own, Py_ssize_t count) {
    nb::object order = np.attr("arange")(nb::int_(count)) % nb::int_(own);
    nb::object all = py::slice(nb::none(), nb::none());
    return stack[nb::make_tuple(all, order, all)];
}

}  // namespace

Queries::Queries(nb::handle np, nb::handle ndarray, const Float64Array& base, const Job& job)
    : np_(np), ndarray_(ndarray), base_(base), devices_(base.shape(0)), base_count_(base.shape(1)),
      points_(job.points), variant_(job.variant_values) {
    Float64Array x(job.x_coords, ndarray, 1);
    for (Py_ssize_t r = 0; r < points_; ++r) x_.push_back(x.at(r));
    width_ = base_count_ + (Py_ssize_t) variant_.size() + 1;
    own_.resize(devices_);
}

nb::handle Queries::device(Py_ssize_t d) {
    if (!own_[d].is_valid()) own_[d] = build(d, 1);
    return own_[d];
}

nb::handle Queries::stacked() {
    if (devices_ == 1) return device(0);
    if (!stacked_.is_valid()) stacked_ = build(0, devices_);
    return stacked_;
}

nb::object Queries::build(Py_ssize_t first, Py_ssize_t count) {
    nb::object matrix = empty(np_, {count * points_, width_});
    Float64Array out(matrix, ndarray_, 2, true);
    double* row = out.contiguous();
    const double* base = base_.contiguous();
    if (!row || !base) throw NotVectorisable{};
    size_t base_bytes = sizeof(double) * base_count_, variant_bytes = sizeof(double) * variant_.size();
    for (Py_ssize_t d = 0; d < count; ++d) {
        const double* inputs = base + (first + d) * base_count_;
        for (Py_ssize_t r = 0; r < points_; ++r, row += width_) {
            std::memcpy(row, inputs, base_bytes);
            std::memcpy(row + base_count_, variant_.data(), variant_bytes);
            row[width_ - 1] = x_[r];
        }
    }
    return matrix;
}

nb::object blend(nb::handle np, nb::object log_stack, nb::handle linear_stack, nb::handle weights) {
    nb::object clipped = np.attr("clip")(linear_stack, nb::float_(1e-14), nb::none());
    nb::object linear_log = np.attr("log10")(clipped);
    Py_ssize_t n_log = nb::cast<Py_ssize_t>(log_stack.attr("shape")[nb::int_(1)]);
    Py_ssize_t n_lin = nb::cast<Py_ssize_t>(linear_log.attr("shape")[nb::int_(1)]);
    if (n_log < n_lin) log_stack = repeat_submodels(np, log_stack, n_log, n_lin);
    if (n_lin < n_log) linear_log = repeat_submodels(np, linear_log, n_lin, n_log);
    // y_log * (1 - weights) + y_lin * weights, element by element
    nb::object complement = nb::int_(1) - weights;
    nb::object log_part = log_stack * complement;
    nb::object lin_part = linear_log * weights;
    return log_part + lin_part;
}

void predict_block(const Context& ctx, const Plan& plan, nb::handle base, BlockSink& sink) {
    nb::object np = ctx.g("np");
    nb::object ndarray = np.attr("ndarray");
    Float64Array inputs(base, ndarray, 2);
    for (size_t index = 0; index < plan.jobs.size(); ++index) {
        const Job& job = plan.jobs[index];
        Queries queries(np, ndarray, inputs, job);
        nb::object stack = submodel_stack(np, ndarray, job.log_model, queries);
        if (job.blends) stack = blend(np, stack, submodel_stack(np, ndarray, job.linear_model, queries), job.weights);
        sink.job(index, job, stack);
    }
}

}  // namespace korva::curve::core
