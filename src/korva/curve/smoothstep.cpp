// korva.curve.mos_utils._smoothstep: the generalized smoothstep polynomial
// S_N(t) = t^(N+1) * sum_{n=0..N} C(N+n, n) * C(2N+1, N-n) * (-t)^n of the clipped position t.
#include "korva/curve/mos_utils.hpp"

namespace korva::curve::mos_utils {

namespace {
nb::object power(nb::handle base, nb::handle exponent) {
    nb::object result = nb::steal(PyNumber_Power(base.ptr(), exponent.ptr(), Py_None));
    if (!result.is_valid()) throw nb::python_error();
    return result;
}
}  // namespace

// Evaluated step by step through the interpreter's number protocol, term by term in the order of
// n, so that arrays and scalars of any numeric type give what the Python formula gives.
nb::object _smoothstep(const py::Call& g) {
    nb::handle x_in = g[0], x_min = g[1], x_max = g[2], N = g[3];
    nb::object zero = nb::int_(0), one = nb::int_(1), two = nb::int_(2);

    // x = np.clip((x - x_min) / (x_max - x_min), 0, 1)
    nb::object clip = g("np").attr("clip");
    nb::object offset = x_in - x_min;
    nb::object span = x_max - x_min;
    nb::object x = clip(offset / span, zero, one);

    nb::object result = zero;
    nb::object stop = N + one;
    nb::object orders = g("range")(zero, stop);
    for (nb::handle n : orders) {
        // comb(N + n, n) * comb(2 * N + 1, N - n) * (-x) ** n
        nb::object comb = g("comb");
        nb::object first = comb(N + n, n);
        comb = g("comb");
        nb::object total = two * N;
        total = total + one;
        nb::object second = comb(total, N - n);
        nb::object coefficient = first * second;
        nb::object term = coefficient * power(-x, n);
        result += term;
    }
    nb::object exponent = N + one;
    result *= power(x, exponent);
    return result;
}

}  // namespace korva::curve::mos_utils
