// The linear classes in fast mode: X @ coef_ + intercept_ computed by korva in one fixed order per
// row, so a prediction never depends on the other rows, on how they are cut into blocks, on the
// number of threads or on the BLAS kernel of the machine. The order: the products of the columns
// summed left to right (the device's inputs, the variant values, then x), then the intercept.
#include "korva/curve/core/native/native.hpp"

namespace korva::curve::core::native {

namespace {

class LinearKernel final : public Kernel {
public:
    LinearKernel(std::vector<double> coef, double intercept) : coef_(std::move(coef)), intercept_(intercept) {}

    bool predict(const Rows& rows, double* out, Py_ssize_t stride) const override {
        Py_ssize_t fixed = rows.fixed_count();
        if (rows.width() != (Py_ssize_t) coef_.size()) return false;  // predict raises for another width
        FloatingFlags flags;
        const double x_coef = coef_.back();
        for (Py_ssize_t d = 0; d < rows.devices; ++d) {
            // the device's part of every row's sum, in column order
            double part = 0.0;
            bool started = false;
            for (Py_ssize_t j = 0; j < fixed; ++j) {
                double value = rows.fixed(d, j);
                if (!std::isfinite(value)) return false;  // predict refuses NaN and infinity
                double term = value * coef_[j];
                part = started ? part + term : term;
                started = true;
            }
            double* row = out + d * stride;
            for (Py_ssize_t r = 0; r < rows.points; ++r) {
                double x = rows.x[r];
                if (!std::isfinite(x)) return false;
                double term = x * x_coef;
                double sum = started ? part + term : term;
                row[r] = sum + intercept_;
            }
        }
        // numpy reports an overflow or invalid operation in the product as a warning: its own call does that
        return !flags.raised();
    }

private:
    std::vector<double> coef_;
    double intercept_;
};

}  // namespace

std::shared_ptr<const Kernel> linear_kernel(nb::handle estimator) {
    if (!own_method(estimator, "_decision_function")) return nullptr;
    Py_ssize_t width = features_in(estimator);
    std::vector<double> coef = array_values<double>(attribute(estimator, "coef_"), 1);
    if ((Py_ssize_t) coef.size() != width) return nullptr;
    double intercept = real(attribute(estimator, "intercept_"));
    return std::make_shared<LinearKernel>(std::move(coef), intercept);
}

}  // namespace korva::curve::core::native
