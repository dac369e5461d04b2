// korva's own evaluation of the exact scikit-learn classes the batch stacks: the fitted state read
// once into korva's buffers, then the query rows of a block predicted without the GIL, value for
// value what the estimator's predict gives (the linear classes: in one fixed order of korva's).
#pragma once

#include "korva/py/glue.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace korva::curve::core::native {

namespace nb = nanobind;

// The query rows of one curve and variant for a block of devices, in korva's own memory. Row r of
// device d is [base(d), variant, x[r]]: every column but the last is the same on all rows of a
// device ("the query's fixed part"), the last one is x.
struct Rows {
    const double* base = nullptr;  // devices x base_count, row-major
    Py_ssize_t devices = 0, base_count = 0;
    const double* variant = nullptr;
    Py_ssize_t variant_count = 0;
    const double* x = nullptr;
    Py_ssize_t points = 0;
    // The rows by increasing x, NaN last, ties in row order; `x_numbers` of them are not NaN.
    const Py_ssize_t* x_order = nullptr;
    Py_ssize_t x_numbers = 0;

    Py_ssize_t width() const { return base_count + variant_count + 1; }
    Py_ssize_t fixed_count() const { return base_count + variant_count; }
    // Column j < fixed_count() of device d's rows.
    double fixed(Py_ssize_t d, Py_ssize_t j) const {
        return j < base_count ? base[d * base_count + j] : variant[j - base_count];
    }
};

// The rows of a job as Rows reads them: the x order computed once, shared by every kernel.
struct RowsData {
    std::vector<double> base, variant, x;
    std::vector<Py_ssize_t> x_order;
    Py_ssize_t x_numbers = 0, devices = 0, base_count = 0;

    void sort_x();  // after x is filled
    Rows rows() const;
};

// One estimator's evaluation. predict() runs without the GIL and writes out[d * stride + r] for
// every device d and row r; it returns false when the estimator's own predict must answer instead
// (it would raise or warn for these rows, say), having written nothing that counts.
class Kernel {
public:
    virtual ~Kernel() = default;
    virtual bool predict(const Rows& rows, double* out, Py_ssize_t stride) const = 0;
};

// The kernel of an estimator whose predict korva evaluates itself, from its fitted state as it is
// now; null for any other estimator (class, settings, fitted state or methods not the ones
// vouched for). `linear`: also the linear classes, whose predictions korva computes in its own
// order (fast mode). Runs Python code (attribute reads), so call it with the GIL held.
std::shared_ptr<const Kernel> kernel_for(nb::handle estimator, bool linear);

// Whether the estimator is of a class kernel_for() may take (its other checks are not made).
bool has_kernel(nb::handle estimator, bool linear);

// ---- shared by the kernel families --------------------------------------------------------------

// What a family reads of an estimator it takes; each returns null when anything is not as expected.
std::shared_ptr<const Kernel> tree_kernel(nb::handle estimator);               // one decision tree
std::shared_ptr<const Kernel> forest_kernel(nb::handle estimator);             // a forest of them
std::shared_ptr<const Kernel> gradient_boosting_kernel(nb::handle estimator);  // GradientBoostingRegressor
std::shared_ptr<const Kernel> hist_boosting_kernel(nb::handle estimator);      // HistGradientBoostingRegressor
std::shared_ptr<const Kernel> neighbours_kernel(nb::handle estimator);         // KNeighborsRegressor
std::shared_ptr<const Kernel> linear_kernel(nb::handle estimator);             // the linear classes

// Thrown by the readers below when the fitted state is not what a kernel needs; kernel_for() turns
// it into "no kernel".
struct Unexpected {};

// getattr(obj, name), an Unexpected when missing; a raised exception other than AttributeError passes.
nb::object attribute(nb::handle obj, const char* name);

// The estimator's `n_features_in_` (an int), the width its predict checks its input against.
Py_ssize_t features_in(nb::handle estimator);

// A whole number read from a Python int (exact or numpy integer via __index__).
Py_ssize_t whole(nb::handle value);

// A float read from a Python float, a numpy float64 scalar, or a one-element float64 ndarray.
double real(nb::handle value);

// The values of an exact numpy.ndarray of `ndim` dimensions whose items are of the type named by
// `format` (a struct-module code: "d", "f", "l"/"q", "B", "I", ...), copied in C order (any
// strides). `shape` receives its shape.
template <class T>
std::vector<T> array_values(nb::handle array, int ndim, std::vector<Py_ssize_t>* shape = nullptr);

// The items of an exact numpy.ndarray seen in place (checked as array_values checks them), read
// with the GIL held: for fitted arrays that are copied once, item by item, into korva's own layout.
template <class T>
class ArrayView {
public:
    ArrayView(nb::handle array, int ndim);
    ~ArrayView() { PyBuffer_Release(&view_); }
    ArrayView(const ArrayView&) = delete;
    ArrayView& operator=(const ArrayView&) = delete;

    Py_ssize_t shape(int axis) const { return view_.shape[axis]; }
    T operator[](Py_ssize_t i) const { return read(static_cast<const char*>(view_.buf) + i * view_.strides[0]); }
    T operator()(Py_ssize_t i, Py_ssize_t j) const {
        return read(static_cast<const char*>(view_.buf) + i * view_.strides[0] + j * view_.strides[1]);
    }
    T operator()(Py_ssize_t i, Py_ssize_t j, Py_ssize_t k) const {
        return read(static_cast<const char*>(view_.buf) + i * view_.strides[0] + j * view_.strides[1] +
                    k * view_.strides[2]);
    }

private:
    static T read(const char* at) {
        T value;
        std::memcpy(&value, at, sizeof(T));
        return value;
    }
    Py_buffer view_{};
};

// An instance attribute `name`, which attribute lookup finds before the class's (or a class that
// keeps no __dict__ of its instances: nothing to vouch for).
bool has_instance_attribute(nb::handle obj, const char* name);

// Whether the class of `obj` reaches `name` as a plain function defined in a module under
// `package` ("sklearn."), with no instance attribute of that name: the method that runs is
// scikit-learn's own (a patched class or instance runs something else).
bool own_method(nb::handle obj, const char* name, const char* package = "sklearn.");

// Whether type(obj) is exactly `module`.`name` (the module loaded; nothing is imported).
bool is_exactly(nb::handle obj, const char* module, const char* name);

// numpy's floating-point error checks after an operation: whether it would have set a flag that
// numpy reports (overflow, invalid operation, division by zero), which korva leaves to numpy itself.
class FloatingFlags {
public:
    FloatingFlags();        // clears the flags of this thread
    bool raised() const;    // overflow, invalid or division by zero since
};

// Whether numpy's astype(float32) keeps a float64 finite (it rounds to nearest even: from
// 2**128 - 2**103 on, the value becomes infinite).
inline bool float32_finite(double value) { return value > -0x1.ffffffp127 && value < 0x1.ffffffp127; }

// The float32 value numpy's astype gives a float64, read back as a double (NaN stays NaN).
inline double as_float32(double value) {
    if (value != value) return value;
    if (!float32_finite(value)) return value > 0 ? HUGE_VAL : -HUGE_VAL;
    return (double) (float) value;
}

}  // namespace korva::curve::core::native
