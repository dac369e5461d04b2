// The curve steps for a block of devices at once. Per job: the query matrices (one stacked for the
// estimators that may see all devices' rows, the devices' own for the others), the submodel
// predictions, the clip/log10 and smoothstep blend, as whole-array numpy operations whose every
// element is computed as the per-device steps compute it. Every array Python hands back (an
// allocation, a prediction, an x range) is checked where it is read or written.
#include "korva/curve/core/core.hpp"

#include "korva/curve/core/float64.hpp"
#include "korva/curve/core/native/native.hpp"
#include "korva/py/attached_thread.hpp"

#include <algorithm>
#include <bit>
#include <cfenv>
#include <cstdint>
#include <cstring>
#include <vector>

namespace korva::curve::core {

using namespace nb::literals;

namespace {

// Copies a prediction of `devices * points` values (a 1-D float64 ndarray) into
// stack[first + d, submodel, :] for the d-th group of `points` values. The stack is one that
// empty() checked to be C-contiguous; the ranges written are checked against its shape here.
void copy_prediction(nb::handle prediction, nb::handle ndarray, const Float64Array& stack, Py_ssize_t first,
                     Py_ssize_t devices, Py_ssize_t submodel) {
    Float64Array values(prediction, ndarray, 1);
    Py_ssize_t submodels = stack.shape(1), points = stack.shape(2);
    if (values.shape(0) != devices * points) throw NotVectorisable{};
    double* out = stack.contiguous();
    if (!out || first + devices > stack.shape(0) || submodel >= submodels) throw NotVectorisable{};
    out += ((first * submodels) + submodel) * points;
    const double* in = values.contiguous();
    auto copy = [&] {
        for (Py_ssize_t d = 0; d < devices; ++d, out += submodels * points) {
            if (in)
                std::memcpy(out, in + d * points, sizeof(double) * points);
            else
                for (Py_ssize_t r = 0; r < points; ++r) out[r] = values.at(d * points + r);
        }
    };
    // held by the caller and by the views here; the stack's view is the caller's. The first writes
    // into new memory fault its pages in: worth doing without the GIL.
    copy_without_gil_if_ours({{prediction, 2}, {stack.owner(), 2}}, copy);
}

// stack[:, submodel, :] from korva's kernel, for every device of `queries`. The kernel runs without
// the GIL, into the stack itself when no one else can reach it, else into memory of its own that is
// copied in afterwards. False when the estimator's own predict must answer instead.
bool predict_natively(const native::Kernel& kernel, nb::handle ndarray, Queries& queries, nb::handle stack,
                      Py_ssize_t submodel) {
    native::Rows rows = queries.native_rows().rows();
    Float64Array out(stack, ndarray, 3, true);
    Py_ssize_t n = rows.devices, submodels = out.shape(1), points = rows.points;
    if (!out.has_shape({n, submodels, points}) || submodel >= submodels) throw NotVectorisable{};
    double* first = out.contiguous();
    if (first && only_ours(out.owner(), ndarray, 2)) {  // held by the caller and by the view here
        py::Detached without_gil;
        return kernel.predict(rows, first + submodel * points, submodels * points);
    }
    std::vector<double> values((size_t) (n * points));
    bool done;
    {
        py::Detached without_gil;
        done = kernel.predict(rows, values.data(), points);
    }
    if (!done) return false;
    for (Py_ssize_t d = 0; d < n; ++d)
        for (Py_ssize_t r = 0; r < points; ++r) out.at(d, submodel, r) = values[d * points + r];
    return true;
}

// Whether `value` is a (submodels, points) float64 ndarray with at least one submodel.
bool is_submodel_rows(nb::handle value, nb::handle ndarray, Py_ssize_t points) {
    try {
        Float64Array rows(value, ndarray, 2);
        return rows.shape(0) > 0 && rows.shape(1) == points;
    } catch (const NotVectorisable&) {
        return false;
    }
}

// The stack of a model called through `calls.through`, once per device, as the per-device steps
// call it. A single device's result is its stack as it is (one more axis, no copy).
Prediction predict_through(nb::handle np, nb::handle ndarray, const ModelCalls& calls, Queries& queries) {
    Py_ssize_t n = queries.devices(), points = queries.points();
    if (n == 1) {
        nb::object result = calls.through(calls.model, queries.device(0));
        if (!is_submodel_rows(result, ndarray, points)) return {nb::object(), result};
        return {result[np.attr("newaxis")], result};
    }
    nb::object stack;
    Py_ssize_t count = 0;
    for (Py_ssize_t d = 0; d < n; ++d) {
        nb::object result = calls.through(calls.model, queries.device(d));
        Float64Array values(result, ndarray, 2);
        if (d == 0) {
            count = values.shape(0);
            stack = empty(np, ndarray, {n, count, points});
        }
        if (!values.has_shape({count, points}) || count == 0) throw NotVectorisable{};
        Float64Array out(stack, ndarray, 3, true);  // again after each call: the allocator's caller may hold it
        if (!out.has_shape({n, count, points})) throw NotVectorisable{};
        for (Py_ssize_t s = 0; s < count; ++s)
            for (Py_ssize_t r = 0; r < points; ++r) out.at(d, s, r) = values.at(s, r);
    }
    return {stack, nb::object()};
}

// stack[:, np.arange(count) % stack.shape[1], :]: the submodel rows repeated to `count`, row i
// being row i modulo the stack's own count, as np.tile(...)[:count, :] gives them.
nb::object repeat_submodels(nb::handle np, nb::handle stack, Py_ssize_t own, Py_ssize_t count) {
    nb::object order = np.attr("arange")(nb::int_(count)) % nb::int_(own);
    nb::object all = py::slice(nb::none(), nb::none());
    return stack[nb::make_tuple(all, order, all)];
}

// Whether the literal steps' products and sums, y_log * (1 - weights) + y_lin * weights element by
// element, raise a floating-point flag other than inexact. Every value is computed and folded into
// bits that are kept, so none can be left out; integer operations raise no flags.
bool raises_flags(const Float64Array& log_in, const Float64Array& lin_in, const Float64Array& w) {
    Py_ssize_t n = log_in.shape(0), n_log = log_in.shape(1), n_lin = lin_in.shape(1), points = log_in.shape(2);
    Py_ssize_t count = std::max(n_log, n_lin);
    std::vector<double> weight((size_t) points), complement((size_t) points);
    std::feclearexcept(FE_ALL_EXCEPT);
    for (Py_ssize_t r = 0; r < points; ++r) {
        weight[r] = w.at(r);
        complement[r] = 1.0 - weight[r];
    }
    const double* log_data = log_in.contiguous();
    const double* lin_data = lin_in.contiguous();
    uint64_t bits = 0;
    for (Py_ssize_t d = 0; d < n; ++d)
        for (Py_ssize_t s = 0; s < count; ++s) {
            if (log_data && lin_data) {
                const double* log_row = log_data + (d * n_log + s % n_log) * points;
                const double* lin_row = lin_data + (d * n_lin + s % n_lin) * points;
                for (Py_ssize_t r = 0; r < points; ++r)
                    bits |= std::bit_cast<uint64_t>(log_row[r] * complement[r] + lin_row[r] * weight[r]);
            } else {
                for (Py_ssize_t r = 0; r < points; ++r)
                    bits |= std::bit_cast<uint64_t>(log_in.at(d, s % n_log, r) * complement[r] +
                                                    lin_in.at(d, s % n_lin, r) * weight[r]);
            }
        }
    volatile uint64_t kept = bits;
    (void) kept;
    return std::fetestexcept(FE_DIVBYZERO | FE_OVERFLOW | FE_UNDERFLOW | FE_INVALID);
}

}  // namespace

Queries::Queries(nb::handle np, nb::handle ndarray, const Float64Array& base, const Job& job)
    : np_(np), ndarray_(ndarray), base_(base), devices_(base.shape(0)), base_count_(base.shape(1)),
      points_(job.points), variant_(job.variant_values) {
    Float64Array x(job.x_coords, ndarray, 1);
    if (x.shape(0) != points_) throw NotVectorisable{};  // resized since it was planned
    for (Py_ssize_t r = 0; r < points_; ++r) x_.push_back(x.at(r));
    width_ = base_count_ + (Py_ssize_t) variant_.size() + 1;
    own_.resize(devices_);
}

nb::handle Queries::device(Py_ssize_t d) {
    if (!own_[d].is_valid()) own_[d] = build(d, 1);
    return own_[d];
}

const native::RowsData& Queries::native_rows() {
    if (native_rows_) return *native_rows_;
    auto data = std::make_shared<native::RowsData>();
    const double* base = base_.contiguous();
    if (!base) throw NotVectorisable{};
    data->base.assign(base, base + devices_ * base_count_);  // read with the GIL: not ours alone
    data->devices = devices_;
    data->base_count = base_count_;
    data->variant = variant_;
    data->x = x_;
    data->sort_x();
    native_rows_ = std::move(data);
    return *native_rows_;
}

nb::handle Queries::stacked() {
    if (devices_ == 1) return device(0);
    if (!stacked_.is_valid()) stacked_ = build(0, devices_);
    return stacked_;
}

nb::object Queries::build(Py_ssize_t first, Py_ssize_t count) {
    nb::object matrix = empty(np_, ndarray_, {count * points_, width_});
    Float64Array out(matrix, ndarray_, 2, true);
    double* row = out.contiguous();
    const double* base = base_.contiguous();
    if (!row || !base || first + count > devices_) throw NotVectorisable{};
    size_t base_bytes = sizeof(double) * base_count_, variant_bytes = sizeof(double) * variant_.size();
    // the devices' inputs, read here with the GIL: the array they come from is not ours alone
    std::vector<double> inputs(base + first * base_count_, base + (first + count) * base_count_);
    auto fill = [&] {
        for (Py_ssize_t d = 0; d < count; ++d) {
            const double* device = inputs.data() + d * base_count_;
            for (Py_ssize_t r = 0; r < points_; ++r, row += width_) {
                if (base_bytes) std::memcpy(row, device, base_bytes);
                if (variant_bytes) std::memcpy(row + base_count_, variant_.data(), variant_bytes);  // no null source
                row[width_ - 1] = x_[r];
            }
        }
    };
    copy_without_gil_if_ours({{matrix, 2}}, fill);  // held here and by its view
    return matrix;
}

// A single device's rows go to the estimators' own predict: reading a model's fitted state costs
// more than korva's evaluation saves on so few rows (the values are the same).
constexpr Py_ssize_t native_devices = 2;

std::shared_ptr<const native::Kernel> NativeKernels::kernel(const Submodel& submodel, Py_ssize_t devices) {
    if (submodel.native) return submodel.native;
    if (!submodel.native_candidate || devices < native_devices) return nullptr;
    for (const auto& [estimator, kernel] : kernels_)
        if (estimator.is(submodel.estimator)) return kernel;
    std::shared_ptr<const native::Kernel> kernel = native::kernel_for(submodel.estimator, false);
    kernels_.emplace_back(submodel.estimator, kernel);  // null too: not read again for this curve
    return kernel;
}

void NativeKernels::keep_only(const Job& job) {
    auto used = [&](nb::handle estimator) {
        for (const ModelCalls* calls : {&job.log_model, &job.linear_model})
            for (const Submodel& submodel : calls->submodels)
                if (submodel.estimator.is(estimator)) return true;
        return false;
    };
    std::erase_if(kernels_, [&](const auto& entry) { return !used(entry.first); });
}

Prediction predict_model(nb::handle np, nb::handle ndarray, const ModelCalls& calls, Queries& queries,
                         bool worker_threads, NativeKernels* kernels) {
    if (calls.through.is_valid()) return predict_through(np, ndarray, calls, queries);
    Py_ssize_t n = queries.devices(), count = (Py_ssize_t) calls.submodels.size();
    nb::object stack = empty(np, ndarray, {n, count, queries.points()});
    for (Py_ssize_t s = 0; s < count; ++s) {
        const Submodel& submodel = calls.submodels[s];
        std::shared_ptr<const native::Kernel> kernel = kernels ? kernels->kernel(submodel, n) : submodel.native;
        if (kernel && (submodel.stacks || n == 1)) {
            if (predict_natively(*kernel, ndarray, queries, stack, s)) continue;
            // declined (its predict would warn or raise): such a model sees one device's rows at a
            // time, so the block's devices go one by one
            if (submodel.only_native && n > 1) throw NotVectorisable{};
        }
        nb::object predict = worker_threads ? predict_with_own_tree(submodel.estimator) : nb::object();
        if (!predict.is_valid()) predict = submodel.predict;
        if (submodel.stacks || n == 1) {
            nb::object prediction = predict(queries.stacked());
            copy_prediction(prediction, ndarray, Float64Array(stack, ndarray, 3, true), 0, n, s);
            continue;
        }
        for (Py_ssize_t d = 0; d < n; ++d) {
            nb::object prediction = predict(queries.device(d));
            copy_prediction(prediction, ndarray, Float64Array(stack, ndarray, 3, true), d, 1, s);
        }
    }
    return {stack, nb::object()};
}

nb::object blend(nb::handle np, nb::handle ndarray, nb::handle log_stack, nb::handle linear_stack, nb::handle weights) {
    nb::object clipped = np.attr("clip")(linear_stack, nb::float_(1e-14), nb::none());
    nb::object linear_log = np.attr("log10")(clipped);
    nb::object log_rows = nb::borrow(log_stack);
    {
        Float64Array log_in(log_rows, ndarray, 3), lin_in(linear_log, ndarray, 3), w(weights, ndarray, 1);
        Py_ssize_t n = log_in.shape(0), n_log = log_in.shape(1), n_lin = lin_in.shape(1), points = log_in.shape(2);
        if (!lin_in.has_shape({n, n_lin, points}) || w.shape(0) != points || n_log == 0 || n_lin == 0)
            throw NotVectorisable{};
        if (raises_flags(log_in, lin_in, w)) throw NotVectorisable{};
        if (n_log < n_lin) log_rows = repeat_submodels(np, log_rows, n_log, n_lin);
        if (n_lin < n_log) linear_log = repeat_submodels(np, linear_log, n_lin, n_log);
    }
    // y_log * (1 - weights) + y_lin * weights, element by element
    nb::object complement = nb::int_(1) - weights;
    nb::object log_part = log_rows * complement;
    nb::object lin_part = linear_log * weights;
    return log_part + lin_part;
}

void predict_block(const Context& ctx, const Plan& plan, nb::handle base, BlockSink& sink) {
    nb::object np = ctx.g("np");
    nb::object ndarray = np.attr("ndarray");
    Float64Array inputs(base, ndarray, 2);
    NativeKernels kernels;
    for (size_t index = 0; index < plan.jobs.size(); ++index) {
        const Job& job = plan.jobs[index];
        kernels.keep_only(job);
        Queries queries(np, ndarray, inputs, job);
        nb::object stack = predict_model(np, ndarray, job.log_model, queries, plan.worker_threads, &kernels).stack;
        if (!stack.is_valid()) throw NotVectorisable{};
        if (job.blends) {
            nb::object linear =
                predict_model(np, ndarray, job.linear_model, queries, plan.worker_threads, &kernels).stack;
            if (!linear.is_valid()) throw NotVectorisable{};
            stack = blend(np, ndarray, stack, linear, job.weights);
        }
        {
            // What the sinks read through: checked here, once for both.
            Float64Array result(stack, ndarray, 3);
            if (!result.has_shape({queries.devices(), result.shape(1), job.points}) || result.shape(1) == 0)
                throw NotVectorisable{};
        }
        sink.job(index, job, stack);
    }
}

}  // namespace korva::curve::core
