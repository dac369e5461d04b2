// KNeighborsRegressor searching a k-d or ball tree with the Euclidean metric: the search of
// scikit-learn's tree replayed step for step (its bounds, its depth-first order with the nearer
// child first, its trimming, its heap of the k best and its final sort), so the same neighbours come
// out in the same order, ties included, and averaged as its predict averages them (numpy's pairwise
// sums). What the query structure saves: every distance the tree computes is a sum over the columns
// in column order, and all the columns but x are the same on every row of a query, so their part of
// the sum is computed once per query, for the nodes and points the search reaches, and each row adds
// its x term to it: the tree's own sum, in the same order. Most rows need no search: their k nearest
// come from the few points near the query in those columns, where provably the search's answer.
#include "korva/curve/core/native/native.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

namespace korva::curve::core::native {

namespace {

// scikit-learn's simultaneous sort (introsort, two-way partition, insertion sort below 16 values):
// equal distances keep the order it leaves them in.
void swap_entries(double* values, int64_t* indices, Py_ssize_t i, Py_ssize_t j) {
    std::swap(values[i], values[j]);
    std::swap(indices[i], indices[j]);
}

void sift_down(double* values, int64_t* indices, Py_ssize_t start, Py_ssize_t end) {
    Py_ssize_t root = start;
    for (;;) {
        Py_ssize_t child = root * 2 + 1, largest = root;
        if (child < end && values[largest] < values[child]) largest = child;
        if (child + 1 < end && values[largest] < values[child + 1]) largest = child + 1;
        if (largest == root) return;
        swap_entries(values, indices, root, largest);
        root = largest;
    }
}

void heapsort(double* values, int64_t* indices, Py_ssize_t n) {
    Py_ssize_t start = (n - 2) / 2, end = n;
    for (;;) {
        sift_down(values, indices, start, end);
        if (start == 0) break;
        --start;
    }
    for (end = n - 1; end > 0; --end) {
        swap_entries(values, indices, 0, end);
        sift_down(values, indices, 0, end);
    }
}

double median3_in_place(double* values, int64_t* indices, Py_ssize_t n) {
    Py_ssize_t pivot = n / 2;
    if (values[0] > values[n - 1]) swap_entries(values, indices, 0, n - 1);
    if (values[n - 1] > values[pivot]) {
        swap_entries(values, indices, n - 1, pivot);
        if (values[0] > values[n - 1]) swap_entries(values, indices, 0, n - 1);
    }
    return values[n - 1];
}

void insertion_sort(double* values, int64_t* indices, Py_ssize_t n) {
    for (Py_ssize_t i = 1; i < n; ++i) {
        double value = values[i];
        int64_t index = indices[i];
        Py_ssize_t j = i;
        for (; j > 0 && values[j - 1] > value; --j) {
            values[j] = values[j - 1];
            indices[j] = indices[j - 1];
        }
        values[j] = value;
        indices[j] = index;
    }
}

void introsort(double* values, int64_t* indices, Py_ssize_t n, Py_ssize_t max_depth) {
    while (n > 15) {
        if (max_depth <= 0) {
            heapsort(values, indices, n);
            return;
        }
        --max_depth;
        double pivot = median3_in_place(values, indices, n);
        Py_ssize_t i = 1, j = n - 2;
        for (;;) {
            while (i <= j && values[i] < pivot) ++i;
            while (i <= j && values[j] > pivot) --j;
            if (i >= j) break;
            swap_entries(values, indices, i, j);
            ++i;
            --j;
        }
        swap_entries(values, indices, i, n - 1);
        introsort(values, indices, i, max_depth);
        values += i + 1;
        indices += i + 1;
        n -= i + 1;
    }
    insertion_sort(values, indices, n);
}

void simultaneous_sort(double* values, int64_t* indices, Py_ssize_t n) {
    if (n == 0) return;
    introsort(values, indices, n, 2 * (Py_ssize_t) std::log2((double) n));
}

// scikit-learn's heap push onto a max-heap of fixed size: the value enters only below the root.
inline void heap_push(double* values, int64_t* indices, Py_ssize_t size, double value, int64_t index) {
    if (value >= values[0]) return;
    Py_ssize_t current = 0;
    for (;;) {
        Py_ssize_t left = 2 * current + 1, right = left + 1, next;
        if (left >= size) break;
        if (right >= size) {
            if (values[left] > value) next = left;
            else break;
        } else if (values[left] >= values[right]) {
            if (value < values[left]) next = left;
            else break;
        } else {
            if (value < values[right]) next = right;
            else break;
        }
        values[current] = values[next];
        indices[current] = indices[next];
        current = next;
    }
    values[current] = value;
    indices[current] = index;
}

// numpy's sum along a contiguous axis: 0.0 plus the pairwise sum (8 accumulators from 8 values on,
// halves from 129 on).
double pairwise(const double* a, Py_ssize_t n) {
    if (n < 8) {
        double sum = -0.0;
        for (Py_ssize_t i = 0; i < n; ++i) sum += a[i];
        return sum;
    }
    if (n <= 128) {
        double r[8];
        for (int j = 0; j < 8; ++j) r[j] = a[j];
        Py_ssize_t i = 8;
        for (; i < n - (n % 8); i += 8)
            for (int j = 0; j < 8; ++j) r[j] += a[i + j];
        double sum = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) sum += a[i];
        return sum;
    }
    Py_ssize_t half = n / 2;
    half -= half % 8;
    return pairwise(a, half) + pairwise(a + half, n - half);
}

double numpy_sum(const double* a, Py_ssize_t n) { return 0.0 + pairwise(a, n); }

// pow(v, p) for v >= 0, as the k-d tree's bounds compute it: the C library's pow, which is not
// always v * v for p = 2 (the rounding of v * v and pow's own may differ when v * v lies within a
// few hundredths of a unit in the last place of halfway between two doubles). Where the exact
// square lies within 0.45 units of v * v, every pow accurate to 0.55 units (glibc documents 0.52
// with FMA, 0.54 without) returns v * v, which is then taken without the call: Dekker's exact
// product gives the square's rounding error. Anything else calls pow.
inline double power(double v, double p) {
    if (v == 0.0) return 0.0;  // pow(+0, p > 0)
    if (p == 2.0 && v > 0x1p-400 && v < 0x1p400) {
        double square = v * v;
        uint64_t bits = std::bit_cast<uint64_t>(square);
        if (bits & 0x000FFFFFFFFFFFFFULL) {  // not a power of two: doubles equally spaced on both sides
            double ulp = std::bit_cast<double>((bits & 0x7FF0000000000000ULL) - (52ULL << 52));
            double t = 134217729.0 * v, high = t - (t - v), low = v - high;
            double error = ((high * high - square) + 2.0 * high * low) + low * low;
            if (std::fabs(error) <= 0.45 * ulp) return square;
        }
    }
    return std::pow(v, p);
}

enum class TreeKind { kd, ball };

// The fitted tree in korva's memory, its points in the tree's own order (position i holds the point
// idx_array[i]): the columns but x of each point and node bound, then x apart.
struct Tree {
    TreeKind kind;
    Py_ssize_t fixed = 0;             // columns before x
    Py_ssize_t points = 0, nodes = 0;
    std::vector<double> point_fixed;  // points x fixed
    std::vector<double> point_x;
    std::vector<double> y;            // the target of each position
    double y_of_index0 = 0.0;         // the heap starts full of index 0 (at infinite distance)
    std::vector<int64_t> start, end;  // a node's positions
    std::vector<uint8_t> is_leaf;
    // k-d: the lower and upper bounds; ball: the centroid (in `low`) and the radius
    std::vector<double> low_fixed, high_fixed, low_x, high_x, radius;
    double p = 2.0;                   // the Euclidean metric's power, as the k-d bounds raise to it
    double reach = 0.0;               // ball: at least |centroid| + radius of every node
    bool sound = false;               // bounds as the tree builds them, as the shortcut needs
    int64_t largest_leaf = 0;
};

// One search's scratch: the parts of the sums over the fixed columns, for the nodes and the leaves'
// points as the search reaches them, valid for the query whose stamp they carry.
struct Scratch {
    std::vector<double> node_part, point_part, leaf_least;
    std::vector<uint32_t> node_stamp, leaf_stamp;
    std::vector<std::pair<int64_t, double>> stack;
    std::vector<double> distances, ys, weights, leaf_distances;
    std::vector<int64_t> found, below;
    std::vector<double> fixed;
    uint32_t stamp = 0;
    // The candidates of the query's shortcut (points whose sum over the fixed columns is at most
    // its radius), by increasing x: their x, that sum and their position.
    struct Candidate {
        double x, part;
        int64_t position;
    };
    std::vector<Candidate> candidates;
    double least_part = 0.0;  // their least sum
    double fixed_norm = 0.0;  // the query's sum of squares over the fixed columns
    // The rows the shortcut leaves to the search, with the k-th distance when it is known (else
    // minus infinity).
    std::vector<std::pair<int64_t, double>> pending;
};

class NeighboursKernel final : public Kernel {
public:
    NeighboursKernel(Tree tree, Py_ssize_t k, bool distance_weights)
        : tree_(std::move(tree)), k_(k), distance_weights_(distance_weights) {}

    // Each row replays the tree's own search. What it skips changes nothing the search would do:
    // a node whose bound from the fixed columns alone exceeds the heap's largest distance is
    // trimmed whatever its x term, so its x term is not computed, and whether it is visited before
    // or after its sibling makes no difference; a point whose sum over the fixed columns is not
    // below the largest distance is not pushed, nor is any point of a leaf where that holds for all.
    bool predict(const Rows& rows, double* out, Py_ssize_t stride) const override {
        if (rows.width() != tree_.fixed + 1 || k_ > tree_.points) return false;
        for (Py_ssize_t r = 0; r < rows.points; ++r)
            if (!std::isfinite(rows.x[r])) return false;  // predict refuses NaN and infinity
        Scratch s;
        size_t nodes = (size_t) tree_.nodes, points = (size_t) tree_.points;
        s.node_part.resize(nodes);
        s.node_stamp.assign(nodes, 0);
        s.leaf_stamp.assign(nodes, 0);
        s.leaf_least.resize(nodes);
        s.point_part.resize(points);
        s.distances.resize((size_t) k_ + 1);
        s.found.resize((size_t) k_ + 1);
        s.ys.resize((size_t) k_);
        s.weights.resize((size_t) k_);
        s.fixed.resize((size_t) tree_.fixed);
        s.leaf_distances.resize((size_t) tree_.largest_leaf);
        s.below.resize((size_t) tree_.largest_leaf);
        FloatingFlags flags;
        for (Py_ssize_t d = 0; d < rows.devices; ++d) {
            for (Py_ssize_t j = 0; j < tree_.fixed; ++j) {
                s.fixed[j] = rows.fixed(d, j);
                if (!std::isfinite(s.fixed[j])) return false;
            }
            s.fixed_norm = 0.0;
            for (double v : s.fixed) s.fixed_norm += v * v;
            if (++s.stamp == 0) {  // a new query: every cached part is stale
                std::fill(s.node_stamp.begin(), s.node_stamp.end(), 0);
                std::fill(s.leaf_stamp.begin(), s.leaf_stamp.end(), 0);
                s.stamp = 1;
            }
            double* row = out + d * stride;
            s.pending.clear();
            shortcut(s, rows, row);
            for (auto [r, known] : s.pending) {  // by increasing x: neighbouring rows reach the same leaves
                replay(s, rows.x[r], known);
                row[r] = average(s);
            }
        }
        // false when numpy would report a floating-point error (or the search met an overflow)
        return !flags.raised();
    }

private:
    // The tree's own search for one row, leaving its k nearest sorted in s.
    void replay(Scratch& s, double x, double known = -HUGE_VAL) const {
        switch (k_) {  // the usual sizes with the heap's size known to the compiler
            case 5: search<5>(s, x, known); break;
            case 10: search<10>(s, x, known); break;
            default: search<0>(s, x, known);
        }
    }

    // A query's shortcut: the k nearest of each row among the few points near the query in the
    // fixed columns, taken where they are provably what the tree's search returns; the other rows
    // are left in s.pending (by increasing x) for the search.
    //
    // Why it is exact (k-d trees). Let S be the k points nearest to a row and d_1 <= ... <= d_k their
    // distances (the tree's sums), d_{k+1} the next one (infinite when there is none), and suppose
    // d_{k+1} >= d_k * (1 + 2^-37). The heap always holds k distinct points (or its infinite start),
    // so its largest value L is never below d_k, and while the heap is not S, L >= d_{k+1} (k points
    // all below d_{k+1} are S). No node holding a point p of S is trimmed: before p is pushed the
    // heap is not S, and the node's bound is below d_p * (1 + 2^-40) < d_{k+1} (the bound's terms
    // are pow(v, 2) with v at most the point's |t|, pow within an ulp, sums of at most 1024
    // columns in the same order). So p is reached, and pushed (d_p <= d_k < d_{k+1} <= L); once in,
    // it is never dropped: that takes a new point nearer than it while it is the largest, k + 1
    // points at most d_k away. The search ends with exactly S, sorted by distance; only the order
    // of equal distances is the heap's own, which settled() requires not to matter.
    // Ball trees: the bound of a node is (|q - c| - r)^2 with the centroid c and the radius r (the
    // largest distance from c to the node's points) as computed, so it falls short of a point's
    // distance by the triangle inequality only up to rounding: its root exceeds |q - p| by at most
    // 2^-43 (|q - c| + r) (sums of at most 1024 columns, a square root, a difference). With
    // |q - c| + r <= |q| + `reach`, trimming needs d_{k+1} below (sqrt(d_k) (1 + 2^-38)
    // + 2^-38 (|q| + reach))^2 (1 + 2^-38), which the row's test rules out.
    // The candidates are the points whose sum over the fixed columns F_p is at most the radius R:
    // any other point's distance F_p + t * t is at least F_p > R (sums of non-negative terms only
    // grow). The next candidate's distance, or R when there is none within R, stands for d_{k+1}.
    void shortcut(Scratch& s, const Rows& rows, double* row) const {
        const Py_ssize_t n = rows.points;
        if (!tree_.sound || tree_.fixed >= 1024 || n < 8) {
            for (Py_ssize_t i = 0; i < n; ++i) s.pending.emplace_back(rows.x_order[i], -HUGE_VAL);
            return;
        }
        // R: the k-th distance of the middle row, which the search gives, raised to the k-th
        // distances of the first and last rows among the points it gathers (rows near the ends of
        // the x range reach further)
        const Py_ssize_t middle = rows.x_order[n / 2];
        replay(s, rows.x[middle]);
        double radius = s.distances[k_ - 1];
        row[middle] = average(s);
        if (radius < HUGE_VAL) {
            collect(s, radius);
            for (Py_ssize_t end : {rows.x_order[0], rows.x_order[n - 1]}) {
                Py_ssize_t low = 0;
                kth(s, rows.x[end], HUGE_VAL, low);
                if (s.distances[k_ - 1] < HUGE_VAL) radius = std::max(radius, s.distances[k_ - 1]);
            }
            radius += radius * 0x1p-30;
        }
        if (!(radius > 0.0 && radius < HUGE_VAL)) {
            for (Py_ssize_t i = 0; i < n; ++i)
                if (rows.x_order[i] != middle) s.pending.emplace_back(rows.x_order[i], -HUGE_VAL);
            return;
        }
        collect(s, radius);
        Py_ssize_t low = 0;  // the first candidate not left of the row's x
        for (Py_ssize_t i = 0; i < n; ++i) {
            Py_ssize_t r = rows.x_order[i];
            if (r == middle) continue;
            kth(s, rows.x[r], radius, low);
            switch (settled(s, rows.x[r], row[r])) {
                case Settled::no: s.pending.emplace_back(r, -HUGE_VAL); break;
                case Settled::set: s.pending.emplace_back(r, s.distances[k_ - 1]); break;
                case Settled::yes: break;
            }
        }
    }

    void kth(Scratch& s, double x, double radius, Py_ssize_t& low) const {
        switch (k_) {
            case 5: nearest<5>(s, x, radius, low); break;
            case 10: nearest<10>(s, x, radius, low); break;
            default: nearest<0>(s, x, radius, low);
        }
    }

    // What the shortcut knows of a row: nothing, the set of the k nearest (`set`: the order of
    // equal distances is the heap's own, it depends on the heap's history), or its average.
    enum class Settled { no, set, yes };

    // Whether the k nearest candidates in s are what the search returns, in an order that does not
    // matter: the row is settled when every order of the tied ones averages to the same value (at
    // most 24 orders are tried). The average, when settled, in `result`.
    Settled settled(Scratch& s, double x, double& result) const {
        double* best = s.distances.data();
        int64_t* found = s.found.data();
        const Py_ssize_t k = k_;
        if (found[k - 1] < 0) return Settled::no;
        if (tree_.kind == TreeKind::kd) {
            if (!(best[k] >= best[k - 1] * (1.0 + 0x1p-36))) return Settled::no;
        } else {
            double norm = std::sqrt(s.fixed_norm + x * x) * (1.0 + 0x1p-20);
            double root = std::sqrt(best[k - 1]) * (1.0 + 0x1p-38) + (norm + tree_.reach) * 0x1p-38;
            if (!(best[k] >= root * root * (1.0 + 0x1p-37))) return Settled::no;
        }
        Py_ssize_t orders = 1;
        for (Py_ssize_t j = 0; j < k;) {
            Py_ssize_t e = j + 1;
            while (e < k && best[e] == best[j]) ++e;
            for (Py_ssize_t m = 2; m <= e - j; ++m) orders *= m;
            if (orders > 24) return Settled::set;
            if (e - j > 1) std::sort(found + j, found + e);
            j = e;
        }
        result = average(s);
        for (Py_ssize_t tried = 1; tried < orders; ++tried) {
            for (Py_ssize_t j = 0; j < k;) {  // the next order: the tie groups counted like digits
                Py_ssize_t e = j + 1;
                while (e < k && best[e] == best[j]) ++e;
                if (e - j > 1 && std::next_permutation(found + j, found + e)) break;
                j = e;
            }
            if (std::bit_cast<uint64_t>(average(s)) != std::bit_cast<uint64_t>(result)) return Settled::set;
        }
        return Settled::yes;
    }

    // Whether no point of a node has a sum over the fixed columns of at most `radius`: its bound
    // from the fixed columns exceeds the radius by far more than rounding can make it exceed the
    // sums of its points (k-d: each term within an ulp or so; ball: the triangle inequality, the
    // centroid's distance and the radius each within 2^-43 of their own size).
    bool beyond(Scratch& s, int64_t node, double radius, double node_limit) const {
        double part = node_part(s, node);
        if (tree_.kind == TreeKind::kd) return part > node_limit;
        double centre = std::sqrt(part), r = tree_.radius[node];
        return centre - r > std::sqrt(radius) * (1.0 + 0x1p-30) + (centre + r) * 0x1p-30;
    }

    // The points whose sum over the fixed columns is at most `radius`, by increasing x.
    void collect(Scratch& s, double radius) const {
        s.candidates.clear();
        const double node_limit = radius + radius * 0x1p-20;
        s.stack.clear();
        s.stack.emplace_back(0, 0.0);
        while (!s.stack.empty()) {
            int64_t node = s.stack.back().first;
            s.stack.pop_back();
            if (beyond(s, node, radius, node_limit)) continue;
            if (!tree_.is_leaf[node]) {
                s.stack.emplace_back(2 * node + 2, 0.0);
                s.stack.emplace_back(2 * node + 1, 0.0);
                continue;
            }
            leaf_parts(s, node);
            if (s.leaf_least[node] > radius) continue;
            for (int64_t i = tree_.start[node]; i < tree_.end[node]; ++i)
                if (s.point_part[i] <= radius) s.candidates.push_back({tree_.point_x[i], s.point_part[i], i});
        }
        s.least_part = HUGE_VAL;
        for (const Scratch::Candidate& c : s.candidates) s.least_part = std::min(s.least_part, c.part);
        std::sort(s.candidates.begin(), s.candidates.end(),
                  [](const Scratch::Candidate& a, const Scratch::Candidate& b) { return a.x < b.x; });
    }

    // The k nearest candidates of a row and the next one's distance (R when there is none within
    // R), in s, sorted. Candidates are visited outwards from x, nearer side first, until the least
    // F_p of all plus t * t reaches the (k+1)-th distance so far: the distance F_p + t * t of every
    // later one is at least that (t * t grows outwards, and a sum grows with its terms).
    template <Py_ssize_t K>
    void nearest(Scratch& s, double x, double radius, Py_ssize_t& low) const {
        const Py_ssize_t k = K ? K : k_;
        double* best = s.distances.data();  // k + 1 of them
        int64_t* found = s.found.data();
        std::fill(best, best + k + 1, radius);
        std::fill(found, found + k + 1, -1);
        const Scratch::Candidate* c = s.candidates.data();
        const Py_ssize_t count = (Py_ssize_t) s.candidates.size();
        const double least = s.least_part;
        while (low < count && c[low].x < x) ++low;
        Py_ssize_t right = low, left = low - 1;
        for (;;) {
            Py_ssize_t i;
            if (right < count && (left < 0 || c[right].x - x <= x - c[left].x)) i = right++;
            else if (left >= 0) i = left--;
            else break;
            double t = x - c[i].x, square = t * t;
            if (least + square >= best[k]) break;  // nor any further one, on either side
            double distance = c[i].part + square;
            if (distance >= best[k]) continue;
            Py_ssize_t j = k;
            for (; j > 0 && best[j - 1] > distance; --j) {
                best[j] = best[j - 1];
                found[j] = found[j - 1];
            }
            best[j] = distance;
            found[j] = c[i].position;
        }
    }

    // The sum over the fixed columns of a node's bound terms, as the tree's first width - 1 steps
    // make it: a lower bound of its reduced distance, whatever the row's x.
    double node_part(Scratch& s, int64_t node) const {
        if (s.node_stamp[node] == s.stamp) return s.node_part[node];
        const double* q = s.fixed.data();
        double sum = 0.0;
        if (tree_.kind == TreeKind::kd) {
            const double* low = &tree_.low_fixed[node * tree_.fixed];
            const double* high = &tree_.high_fixed[node * tree_.fixed];
            for (Py_ssize_t j = 0; j < tree_.fixed; ++j) {
                double d_lo = low[j] - q[j], d_hi = q[j] - high[j];
                sum += power(0.5 * ((d_lo + std::fabs(d_lo)) + (d_hi + std::fabs(d_hi))), tree_.p);
            }
        } else {
            const double* centroid = &tree_.low_fixed[node * tree_.fixed];
            for (Py_ssize_t j = 0; j < tree_.fixed; ++j) {
                double t = q[j] - centroid[j];
                sum += t * t;
            }
        }
        s.node_stamp[node] = s.stamp;
        return s.node_part[node] = sum;
    }

    // The tree's reduced lower bound of the distance from the row (its x) to a node, whose sum over
    // the fixed columns is `part`.
    double lower_bound(int64_t node, double part, double x) const {
        if (tree_.kind == TreeKind::kd) {
            double d_lo = tree_.low_x[node] - x, d_hi = x - tree_.high_x[node];
            return part + power(0.5 * ((d_lo + std::fabs(d_lo)) + (d_hi + std::fabs(d_hi))), tree_.p);
        }
        double t = x - tree_.low_x[node];
        double distance = std::sqrt(part + t * t);
        double gap = std::fmax(0.0, distance - tree_.radius[node]);
        return gap * gap;
    }

    // What the bound of a node is at least, whatever the row's x (every step of it is monotonic
    // in the x term, which is at least 0).
    double bound_floor(int64_t node, double part) const {
        if (tree_.kind == TreeKind::kd) return part;
        double gap = std::fmax(0.0, std::sqrt(part) - tree_.radius[node]);
        return gap * gap;
    }

    // The sums over the fixed columns for the points of a leaf.
    void leaf_parts(Scratch& s, int64_t node) const {
        if (s.leaf_stamp[node] == s.stamp) return;
        s.leaf_stamp[node] = s.stamp;
        const double* q = s.fixed.data();
        double least = HUGE_VAL;
        for (int64_t i = tree_.start[node]; i < tree_.end[node]; ++i) {
            const double* point = &tree_.point_fixed[i * tree_.fixed];
            double sum = 0.0;
            for (Py_ssize_t j = 0; j < tree_.fixed; ++j) {
                double t = q[j] - point[j];
                sum += t * t;
            }
            s.point_part[i] = sum;
            least = std::min(least, sum);
        }
        s.leaf_least[node] = least;
    }

    // The tree's own depth-first search for one row, leaving its k nearest sorted in s. When the
    // k-th distance d_k is known (and the next one larger), the search stops once the heap's
    // largest is d_k: the heap then holds the k nearest, and nothing is pushed afterwards (that
    // would take a point nearer than d_k outside the heap).
    template <Py_ssize_t K>
    void search(Scratch& s, double x, double known) const {
        double* values = s.distances.data();
        int64_t* found = s.found.data();
        const Py_ssize_t k = K ? K : k_;
        std::fill(values, values + k, HUGE_VAL);
        std::fill(found, found + k, -1);  // -1: index 0 of the training set, not yet replaced
        double largest = HUGE_VAL;        // values[0], the heap's root
        s.stack.clear();
        s.stack.emplace_back(0, lower_bound(0, node_part(s, 0), x));
        while (!s.stack.empty()) {
            auto [node, bound] = s.stack.back();
            s.stack.pop_back();
            if (bound > largest) continue;  // trimmed
            if (tree_.is_leaf[node]) {
                leaf_parts(s, node);
                if (s.leaf_least[node] >= largest) continue;  // d = part + t * t >= part: none is pushed
                int64_t first = tree_.start[node], count = tree_.end[node] - first;
                const double* part = s.point_part.data() + first;
                const double* point_x = tree_.point_x.data() + first;
                double* distance = s.leaf_distances.data();
                int64_t* below = s.below.data();
                int64_t candidates = 0;
                for (int64_t i = 0; i < count; ++i) {  // without branches: most points are not pushed
                    double t = x - point_x[i];
                    distance[i] = part[i] + t * t;
                    below[candidates] = i;
                    candidates += distance[i] < largest;
                }
                for (int64_t c = 0; c < candidates; ++c) {  // in the tree's order: ties stay where it leaves them
                    int64_t i = below[c];
                    if (distance[i] < largest) {
                        heap_push(values, found, k, distance[i], first + i);
                        largest = values[0];
                    }
                }
                if (largest <= known) break;
                continue;
            }
            int64_t near = 2 * node + 1, far = near + 1;
            double near_part = node_part(s, near), far_part = node_part(s, far);
            bool near_open = bound_floor(near, near_part) <= largest, far_open = bound_floor(far, far_part) <= largest;
            if (!near_open && !far_open) continue;  // both trimmed when they come up
            if (near_open != far_open) {  // the other is trimmed, before or after: only this one counts
                int64_t open = near_open ? near : far;
                s.stack.emplace_back(open, lower_bound(open, near_open ? near_part : far_part, x));
                continue;
            }
            double near_bound = lower_bound(near, near_part, x), far_bound = lower_bound(far, far_part, x);
            if (near_bound <= far_bound) {
                s.stack.emplace_back(far, far_bound);
                s.stack.emplace_back(near, near_bound);
            } else {
                s.stack.emplace_back(near, near_bound);
                s.stack.emplace_back(far, far_bound);
            }
        }
        simultaneous_sort(values, found, k);
    }

    // What predict makes of the neighbours. A floating-point error numpy would report shows in
    // the flags predict() checks at its end.
    double average(Scratch& s) const {
        for (Py_ssize_t j = 0; j < k_; ++j) s.ys[j] = s.found[j] < 0 ? tree_.y_of_index0 : tree_.y[s.found[j]];
        if (!distance_weights_) return numpy_sum(s.ys.data(), k_) / (double) k_;
        bool exact_match = false;
        for (Py_ssize_t j = 0; j < k_; ++j) {  // 1 / 0 is infinite, as numpy gives it (its warning off)
            s.weights[j] = s.distances[j] == 0.0 ? HUGE_VAL : 1.0 / std::sqrt(s.distances[j]);
            exact_match = exact_match || std::isinf(s.weights[j]);
        }
        if (exact_match)  // rows with a point at distance 0: those points weigh 1, the others 0
            for (double& w : s.weights) w = std::isinf(w) ? 1.0 : 0.0;
        double denominator = numpy_sum(s.weights.data(), k_);
        for (Py_ssize_t j = 0; j < k_; ++j) s.ys[j] = s.ys[j] * s.weights[j];
        return numpy_sum(s.ys.data(), k_) / denominator;
    }

    Tree tree_;
    Py_ssize_t k_;
    bool distance_weights_;
};

// Whether the tree's leaves, as its search reaches them, hold every point once, and every node's
// bounds hold the points below it as the tree builds them (k-d: between the lower and upper bound
// in every column; ball: the computed distance from the centroid at most the radius). The search
// needs neither; the shortcut's argument needs both.
bool sound_bounds(const Tree& tree, const std::vector<double>& bounds) {
    const Py_ssize_t width = tree.fixed + 1, nodes = tree.nodes;
    std::vector<uint8_t> seen((size_t) tree.points, 0);
    std::vector<int64_t> stack{0};
    while (!stack.empty()) {
        int64_t leaf = stack.back();
        stack.pop_back();
        if (!tree.is_leaf[leaf]) {
            stack.push_back(2 * leaf + 1);
            stack.push_back(2 * leaf + 2);
            continue;
        }
        for (int64_t i = tree.start[leaf]; i < tree.end[leaf]; ++i) {
            if (seen[i]) return false;
            seen[i] = 1;
            auto column = [&](Py_ssize_t j) { return j < tree.fixed ? tree.point_fixed[i * tree.fixed + j] : tree.point_x[i]; };
            for (int64_t node = leaf;; node = (node - 1) / 2) {
                const double* low = &bounds[node * width];
                if (tree.kind == TreeKind::kd) {
                    const double* high = &bounds[(nodes + node) * width];
                    for (Py_ssize_t j = 0; j < width; ++j)
                        if (!(low[j] <= column(j) && column(j) <= high[j])) return false;
                } else {
                    double sum = 0.0;
                    for (Py_ssize_t j = 0; j < width; ++j) {
                        double t = low[j] - column(j);
                        sum += t * t;
                    }
                    if (!(std::sqrt(sum) <= tree.radius[node])) return false;
                }
                if (node == 0) break;
            }
        }
    }
    for (uint8_t v : seen)
        if (!v) return false;
    return true;
}

// The state of a KDTree or BallTree (its pickling state, whose arrays are its own), checked: the
// shapes agree, positions are indices of points, leaves hold ranges of positions, and a node that is
// no leaf has both children.
Tree read_tree(nb::handle tree_object, TreeKind kind, nb::handle targets, Py_ssize_t width) {
    nb::object state = tree_object.attr("__getstate__")();
    if (!PyTuple_CheckExact(state.ptr()) || PyTuple_GET_SIZE(state.ptr()) != 13) throw Unexpected{};
    auto item = [&](Py_ssize_t i) { return nb::borrow(PyTuple_GET_ITEM(state.ptr(), i)); };
    if (!is_exactly(item(11), "sklearn.metrics._dist_metrics", "EuclideanDistance64")) throw Unexpected{};
    std::vector<Py_ssize_t> bounds_shape;
    ArrayView<double> data(item(0), 2);  // read in place: the training points are copied once, below
    std::vector<int64_t> index = array_values<int64_t>(item(1), 1);
    nb::object node_data = item(2);
    std::vector<int64_t> start = array_values<int64_t>(node_data[py::s("idx_start")], 1);
    std::vector<int64_t> end = array_values<int64_t>(node_data[py::s("idx_end")], 1);
    std::vector<int64_t> leaf = array_values<int64_t>(node_data[py::s("is_leaf")], 1);
    std::vector<double> radius = array_values<double>(node_data[py::s("radius")], 1);
    std::vector<double> bounds = array_values<double>(item(3), 3, &bounds_shape);
    std::vector<double> y = array_values<double>(targets, 1);

    Py_ssize_t n = data.shape(0), nodes = (Py_ssize_t) start.size();
    if (data.shape(1) != width || n < 1 || (Py_ssize_t) index.size() != n || (Py_ssize_t) y.size() != n ||
        nodes < 1 || (Py_ssize_t) end.size() != nodes || (Py_ssize_t) leaf.size() != nodes ||
        (Py_ssize_t) radius.size() != nodes || bounds_shape[0] != (kind == TreeKind::kd ? 2 : 1) ||
        bounds_shape[1] != nodes || bounds_shape[2] != width)
        throw Unexpected{};
    for (int64_t i : index)
        if (i < 0 || i >= n) throw Unexpected{};
    for (Py_ssize_t node = 0; node < nodes; ++node) {
        if (leaf[node] != 0) {
            if (start[node] < 0 || start[node] > end[node] || end[node] > n) throw Unexpected{};
        } else if (2 * node + 2 >= nodes) {
            throw Unexpected{};
        }
    }

    Tree tree;
    tree.kind = kind;
    tree.fixed = width - 1;
    tree.points = n;
    tree.nodes = nodes;
    tree.point_fixed.resize((size_t) (n * tree.fixed));
    tree.point_x.resize((size_t) n);
    tree.y.resize((size_t) n);
    for (Py_ssize_t i = 0; i < n; ++i) {
        for (Py_ssize_t j = 0; j < tree.fixed; ++j) tree.point_fixed[i * tree.fixed + j] = data(index[i], j);
        tree.point_x[i] = data(index[i], tree.fixed);
        tree.y[i] = y[index[i]];
    }
    tree.y_of_index0 = y[0];
    tree.start = std::move(start);
    tree.end = std::move(end);
    tree.is_leaf.resize((size_t) nodes);
    for (Py_ssize_t node = 0; node < nodes; ++node) {
        tree.is_leaf[node] = leaf[node] != 0;
        if (tree.is_leaf[node]) tree.largest_leaf = std::max<int64_t>(tree.largest_leaf, tree.end[node] - tree.start[node]);
    }
    tree.radius = std::move(radius);
    if (kind == TreeKind::ball) {
        for (Py_ssize_t node = 0; node < nodes; ++node) {
            double norm = 0.0;
            for (Py_ssize_t j = 0; j < width; ++j) norm += bounds[node * width + j] * bounds[node * width + j];
            tree.reach = std::max(tree.reach, std::sqrt(norm) + tree.radius[node]);
        }
        tree.reach *= 1.0 + 0x1p-20;
    }
    tree.low_fixed.resize((size_t) (nodes * tree.fixed));
    tree.low_x.resize((size_t) nodes);
    if (kind == TreeKind::kd) {
        tree.high_fixed.resize((size_t) (nodes * tree.fixed));
        tree.high_x.resize((size_t) nodes);
    }
    for (Py_ssize_t node = 0; node < nodes; ++node) {
        const double* low = &bounds[node * width];
        std::copy(low, low + tree.fixed, &tree.low_fixed[node * tree.fixed]);
        tree.low_x[node] = low[tree.fixed];
        if (kind == TreeKind::kd) {
            const double* high = &bounds[(nodes + node) * width];
            std::copy(high, high + tree.fixed, &tree.high_fixed[node * tree.fixed]);
            tree.high_x[node] = high[tree.fixed];
        }
    }
    tree.sound = sound_bounds(tree, bounds);
    return tree;
}

}  // namespace

std::shared_ptr<const Kernel> neighbours_kernel(nb::handle estimator) {
    if (!own_method(estimator, "kneighbors")) return nullptr;
    nb::object method = attribute(estimator, "_fit_method");
    nb::object weights = attribute(estimator, "weights");
    if (!PyUnicode_CheckExact(method.ptr()) || !PyUnicode_CheckExact(weights.ptr())) return nullptr;
    bool distance = py::equals(weights, "distance");
    if (!distance && !py::equals(weights, "uniform")) return nullptr;
    TreeKind kind;
    if (py::equals(method, "kd_tree")) kind = TreeKind::kd;
    else if (py::equals(method, "ball_tree")) kind = TreeKind::ball;
    else return nullptr;
    nb::object tree = attribute(estimator, "_tree");
    if (!is_exactly(tree, "sklearn.neighbors", kind == TreeKind::kd ? "KDTree" : "BallTree")) return nullptr;
    Py_ssize_t k = whole(attribute(estimator, "n_neighbors"));
    Py_ssize_t width = features_in(estimator);
    if (k < 1 || whole(attribute(estimator, "n_samples_fit_")) < k) return nullptr;
    Tree fitted = read_tree(tree, kind, attribute(estimator, "_y"), width);
    return std::make_shared<NeighboursKernel>(std::move(fitted), k, distance);
}

}  // namespace korva::curve::core::native
