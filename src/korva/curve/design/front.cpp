// The best designs found so far (the feasible ones no other feasible design dominates) and the
// hypervolume they dominate up to a reference point: exact for one to three objectives (a sweep in
// two, slices along the third in three).
#include "korva/curve/design/design.hpp"

#include <algorithm>

namespace korva::curve::design {

void Front::add(const Archive& archive, size_t i) {
    if (!archive.feasible(i)) return;
    size_t m = archive.objectives;
    const double* f = archive.f(i);
    for (size_t member : members_)
        if (dominates(archive.f(member), f, m)) return;
    // Designs equal in every objective are all kept, as pareto_front keeps them.
    std::erase_if(members_, [&](size_t member) { return dominates(f, archive.f(member), m); });
    members_.push_back(i);
}

namespace {

// The area that 2-D points (first two objectives) dominate up to the reference.
double area(std::vector<std::pair<double, double>> points, double r1, double r2) {
    std::sort(points.begin(), points.end());
    double total = 0.0, lowest = r2;
    for (const auto& [f1, f2] : points)
        if (f2 < lowest) {
            total += (r1 - f1) * (lowest - f2);
            lowest = f2;
        }
    return total;
}

}  // namespace

double hypervolume(const Archive& archive, const std::vector<size_t>& points, const std::vector<double>& reference) {
    size_t m = archive.objectives;
    // Only points better than the reference in every objective dominate any volume.
    std::vector<const double*> inside;
    for (size_t i : points) {
        const double* f = archive.f(i);
        bool below = true;
        for (size_t j = 0; j < m; ++j) below = below && f[j] < reference[j];
        if (below) inside.push_back(f);
    }
    if (inside.empty()) return 0.0;
    if (m == 1) {
        double best = reference[0];
        for (const double* f : inside) best = std::min(best, f[0]);
        return reference[0] - best;
    }
    if (m == 2) {
        std::vector<std::pair<double, double>> flat;
        for (const double* f : inside) flat.emplace_back(f[0], f[1]);
        return area(std::move(flat), reference[0], reference[1]);
    }
    // Three objectives: slabs between consecutive values of the third, each the area of the
    // points at or below it.
    std::stable_sort(inside.begin(), inside.end(), [](const double* a, const double* b) { return a[2] < b[2]; });
    std::vector<std::pair<double, double>> slab;
    double total = 0.0;
    for (size_t k = 0; k < inside.size(); ++k) {
        slab.emplace_back(inside[k][0], inside[k][1]);
        double top = k + 1 < inside.size() ? inside[k + 1][2] : reference[2];
        if (top > inside[k][2]) total += area(slab, reference[0], reference[1]) * (top - inside[k][2]);
    }
    return total;
}

}  // namespace korva::curve::design
