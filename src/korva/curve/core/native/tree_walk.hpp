// A decision tree walked once per query rather than once per row: a split on a column of the
// query's fixed part follows the query's one value with all its rows, a split on x cuts the rows,
// kept sorted by x, at the first row beyond the threshold (binary search). Each leaf receives the
// range of sorted rows that reach it, exactly the rows a row-by-row walk would send there.
#pragma once

#include "korva/curve/core/native/native.hpp"

#include <algorithm>

namespace korva::curve::core::native {

// One query as a walk reads it: the fixed part's values and the x values in sorted order, both as
// the estimator compares them (rounded to float32 for scikit-learn's trees); rows [numbers, count)
// of the sorted order are NaN.
struct Query {
    const double* fixed = nullptr;
    Py_ssize_t x_column = 0;
    const double* xs = nullptr;
    Py_ssize_t numbers = 0, count = 0;
};

struct Span {
    int64_t node;
    Py_ssize_t lo, hi;
};

// Walks from `root` for the rows of `query`. `Tree` gives, for node n: leaf(n), value(n) (a
// leaf's), feature(n), threshold(n), missing_left(n), left(n), right(n), and categorical(n) with
// goes_left(n, value) for splits that are not thresholds. `leaf(lo, hi, value)` receives each
// leaf's rows; `row(node, position)` finishes a row alone (an x split that is no threshold).
template <class Tree, class Leaf, class Row>
void walk(const Tree& tree, int64_t root, const Query& query, std::vector<Span>& stack, Leaf&& leaf, Row&& row) {
    stack.clear();
    stack.push_back({root, 0, query.count});
    while (!stack.empty()) {
        Span span = stack.back();
        stack.pop_back();
        int64_t node = span.node;
        for (;;) {
            if (tree.leaf(node)) {
                leaf(span.lo, span.hi, tree.value(node));
                break;
            }
            Py_ssize_t feature = tree.feature(node);
            if (feature != query.x_column) {
                double value = query.fixed[feature];
                if (value != value) node = tree.missing_left(node) ? tree.left(node) : tree.right(node);
                else if (tree.categorical(node)) node = tree.goes_left(node, value) ? tree.left(node) : tree.right(node);
                else node = value <= tree.threshold(node) ? tree.left(node) : tree.right(node);
                continue;
            }
            if (tree.categorical(node)) {
                for (Py_ssize_t position = span.lo; position < span.hi; ++position) row(node, position);
                break;
            }
            // the sorted rows of the span: [lo, numbers) compare, [numbers, hi) are NaN
            Py_ssize_t numbers = std::max(span.lo, std::min(span.hi, query.numbers));
            double threshold = tree.threshold(node);
            Py_ssize_t cut = std::upper_bound(query.xs + span.lo, query.xs + numbers, threshold,
                                              [](double t, double x) { return t < x; }) - query.xs;
            int64_t left = tree.left(node), right = tree.right(node);
            bool nan_left = tree.missing_left(node);
            if (nan_left && numbers < span.hi) stack.push_back({left, numbers, span.hi});
            Py_ssize_t right_hi = nan_left ? numbers : span.hi;
            if (cut < right_hi) stack.push_back({right, cut, right_hi});
            if (span.lo == cut) break;
            node = left;
            span.hi = cut;
        }
    }
}

}  // namespace korva::curve::core::native
