// The table's NLD input transform over whole columns: the derived inputs of many devices at once,
// each value computed with the very operations, in the very order, of the transform itself.
#include "korva/curve/core/core.hpp"

#include "korva/curve/core/float64.hpp"

#include <cmath>

namespace korva::curve::core {

nb::object nld_base_inputs(const Context& ctx, const Plan& plan, nb::handle raw) {
    nb::object np = ctx.g("np");
    nb::object ndarray = np.attr("ndarray");
    Float64Array in(raw, ndarray, 2);
    if (in.shape(1) != 5) throw NotVectorisable{};
    Py_ssize_t n = in.shape(0), count = (Py_ssize_t) plan.nld_columns.size();
    nb::object base = empty(np, ndarray, {n, count});
    Float64Array out(base, ndarray, 2, true);
    for (Py_ssize_t d = 0; d < n; ++d) {
        double a = in.at(d, 0), b = in.at(d, 1), c = in.at(d, 2), dd = in.at(d, 3), e = in.at(d, 4);
        double c_plus_d = c + dd;
        double c_d_e = c_plus_d + e;
        double hp = 0.77 + a;
        hp = hp + b;
        hp = hp + c;
        hp = hp + dd;
        hp = hp + e;
        hp = hp + 0.1;
        // W, Nf, A, B, C+D+E, C/(C+D+E), (C+D)/(C+D+E), S, HP: the transform's Series, which
        // pandas holds as float64 (the integers 10 and 2 become 10.0 and 2.0).
        const double derived[9] = {10.0, 2.0, a, b, c_d_e, c / c_d_e, c_plus_d / c_d_e, dd + e, hp};
        // Zero or normal: no value overflowed, divided by zero, went undefined or underflowed.
        bool plain = c_plus_d == 0 || std::isnormal(c_plus_d);
        for (double value : derived) plain = plain && (value == 0 || std::isnormal(value));
        for (Py_ssize_t i = 0; i < count; ++i) out.at(d, i) = plain ? derived[plan.nld_columns[i]] : NAN;
    }
    return base;
}

}  // namespace korva::curve::core
