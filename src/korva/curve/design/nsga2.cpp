// NSGA-II (Deb, Pratap, Agarwal and Meyarivan 2002) with constraint domination: feasible designs
// before infeasible ones, infeasible ones by their total violation, feasible ones by non-domination
// rank and crowding distance. Children come from binary tournaments, simulated binary crossover and
// polynomial mutation on the unit cube. Every tie is broken by archive order, so a seed gives one
// search.
#include "korva/curve/design/design.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace korva::curve::design {

bool dominates(const double* a, const double* b, size_t m) {
    bool better = false;
    for (size_t i = 0; i < m; ++i) {
        if (a[i] > b[i]) return false;
        if (a[i] < b[i]) better = true;
    }
    return better;
}

namespace {

// The feasible candidates in non-domination fronts (Deb's fast non-dominated sort).
std::vector<std::vector<size_t>> fronts_of(const Archive& archive, const std::vector<size_t>& feasible) {
    size_t n = feasible.size(), m = archive.objectives;
    std::vector<std::vector<size_t>> dominated(n);
    std::vector<size_t> count(n, 0);
    for (size_t p = 0; p < n; ++p)
        for (size_t q = p + 1; q < n; ++q) {
            const double *fp = archive.f(feasible[p]), *fq = archive.f(feasible[q]);
            if (dominates(fp, fq, m)) {
                dominated[p].push_back(q);
                ++count[q];
            } else if (dominates(fq, fp, m)) {
                dominated[q].push_back(p);
                ++count[p];
            }
        }
    std::vector<std::vector<size_t>> fronts;
    std::vector<size_t> current;
    for (size_t p = 0; p < n; ++p)
        if (count[p] == 0) current.push_back(p);
    while (!current.empty()) {
        std::vector<size_t> next, members;
        for (size_t p : current) {
            members.push_back(feasible[p]);
            for (size_t q : dominated[p])
                if (--count[q] == 0) next.push_back(q);
        }
        std::sort(next.begin(), next.end());
        fronts.push_back(std::move(members));
        current = std::move(next);
    }
    return fronts;
}

// Crowding distance of each member of one front: infinite at each objective's extremes.
std::vector<double> crowding_of(const Archive& archive, const std::vector<size_t>& front) {
    size_t n = front.size(), m = archive.objectives;
    std::vector<double> distance(n, 0.0);
    std::vector<size_t> order(n);
    for (size_t j = 0; j < m; ++j) {
        std::iota(order.begin(), order.end(), 0);
        std::stable_sort(order.begin(), order.end(),
                         [&](size_t a, size_t b) { return archive.f(front[a])[j] < archive.f(front[b])[j]; });
        double low = archive.f(front[order.front()])[j], high = archive.f(front[order.back()])[j];
        distance[order.front()] = distance[order.back()] = infinity;
        if (!(high > low)) continue;
        for (size_t k = 1; k + 1 < n; ++k)
            distance[order[k]] += (archive.f(front[order[k + 1]])[j] - archive.f(front[order[k - 1]])[j]) / (high - low);
    }
    return distance;
}

// Deb's crowded comparison with constraint domination: whether population member a beats b.
bool beats(const Archive& archive, const Ranked& ranked, size_t a, size_t b) {
    double va = archive.violation[ranked.members[a]], vb = archive.violation[ranked.members[b]];
    if (va != vb) return va < vb;
    if (ranked.rank[a] != ranked.rank[b]) return ranked.rank[a] < ranked.rank[b];
    return ranked.crowding[a] > ranked.crowding[b];
}

size_t tournament(const Archive& archive, const Ranked& parents, Generator& random) {
    size_t n = parents.members.size();
    size_t a = random.below(n), b = random.below(n);
    if (beats(archive, parents, a, b)) return a;
    if (beats(archive, parents, b, a)) return b;
    return random.uniform() < 0.5 ? a : b;
}

// Simulated binary crossover on [0, 1], bounded as in Deb's reference code; each coordinate is
// recombined with probability 1/2 and the children's values are swapped with probability 1/2.
void crossover(double* c1, double* c2, size_t d, double eta, Generator& random) {
    for (size_t i = 0; i < d; ++i) {
        if (random.uniform() >= 0.5) continue;
        double y1 = std::min(c1[i], c2[i]), y2 = std::max(c1[i], c2[i]);
        if (y2 - y1 <= 1e-14) continue;
        double u = random.uniform();
        auto spread = [&](double beta) {
            double alpha = 2.0 - std::pow(beta, -(eta + 1.0));
            return u <= 1.0 / alpha ? std::pow(u * alpha, 1.0 / (eta + 1.0))
                                    : std::pow(1.0 / (2.0 - u * alpha), 1.0 / (eta + 1.0));
        };
        double low = 0.5 * ((y1 + y2) - spread(1.0 + 2.0 * y1 / (y2 - y1)) * (y2 - y1));
        double high = 0.5 * ((y1 + y2) + spread(1.0 + 2.0 * (1.0 - y2) / (y2 - y1)) * (y2 - y1));
        low = std::clamp(low, 0.0, 1.0);
        high = std::clamp(high, 0.0, 1.0);
        if (random.uniform() < 0.5) std::swap(low, high);
        c1[i] = low;
        c2[i] = high;
    }
}

// Polynomial mutation on [0, 1] (Deb's bounded form) of each coordinate with probability
// `probability`; a discrete input's coordinate is drawn afresh, as small steps would rarely move it
// to another allowed value.
void mutate(double* c, const std::vector<bool>& discrete, double probability, double eta, Generator& random) {
    for (size_t i = 0; i < discrete.size(); ++i) {
        if (random.uniform() >= probability) continue;
        if (discrete[i]) {
            c[i] = random.uniform();
            continue;
        }
        double y = c[i], u = random.uniform(), power = 1.0 / (eta + 1.0), shift;
        if (u <= 0.5) {
            double value = 2.0 * u + (1.0 - 2.0 * u) * std::pow(1.0 - y, eta + 1.0);
            shift = std::pow(value, power) - 1.0;
        } else {
            double value = 2.0 * (1.0 - u) + 2.0 * (u - 0.5) * std::pow(y, eta + 1.0);
            shift = 1.0 - std::pow(value, power);
        }
        c[i] = std::clamp(y + shift, 0.0, 1.0);
    }
}

}  // namespace

Ranked survive(const Archive& archive, const std::vector<size_t>& candidates, size_t keep) {
    std::vector<size_t> feasible, infeasible;
    for (size_t i : candidates) (archive.feasible(i) ? feasible : infeasible).push_back(i);
    Ranked ranked;
    size_t rank = 0;
    for (std::vector<size_t>& front : fronts_of(archive, feasible)) {
        if (ranked.members.size() >= keep) break;
        std::vector<double> crowding = crowding_of(archive, front);
        std::vector<size_t> order(front.size());
        std::iota(order.begin(), order.end(), 0);
        // The last front that fits only in part gives way from its most crowded members.
        std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return crowding[a] > crowding[b]; });
        for (size_t k = 0; k < order.size() && ranked.members.size() < keep; ++k) {
            ranked.members.push_back(front[order[k]]);
            ranked.rank.push_back(rank);
            ranked.crowding.push_back(crowding[order[k]]);
        }
        ++rank;
    }
    std::stable_sort(infeasible.begin(), infeasible.end(),
                     [&](size_t a, size_t b) { return archive.violation[a] < archive.violation[b]; });
    for (size_t k = 0; k < infeasible.size() && ranked.members.size() < keep; ++k) {
        ranked.members.push_back(infeasible[k]);
        ranked.rank.push_back(rank);
        ranked.crowding.push_back(0.0);
    }
    return ranked;
}

std::vector<double> offspring(const Archive& archive, const Ranked& parents, size_t count,
                              const std::vector<bool>& discrete, const Variation& variation, Generator& random,
                              const std::function<bool(const double*)>& is_new) {
    constexpr int retries = 10;  // mutations of a repeated child before it is dropped
    size_t d = archive.dims;
    std::vector<double> children;
    std::vector<double> pair(2 * d);
    // A space with fewer than `count` designs left ends the loop after a bounded number of pairs.
    for (size_t pairs = 0; children.size() < count * d && pairs < 4 * count + 8; ++pairs) {
        const double* p1 = archive.u(parents.members[tournament(archive, parents, random)]);
        const double* p2 = archive.u(parents.members[tournament(archive, parents, random)]);
        std::copy(p1, p1 + d, pair.begin());
        std::copy(p2, p2 + d, pair.begin() + (std::ptrdiff_t) d);
        if (random.uniform() < variation.crossover_probability)
            crossover(pair.data(), pair.data() + d, d, variation.crossover_eta, random);
        for (int child = 0; child < 2 && children.size() < count * d; ++child) {
            double* c = pair.data() + child * d;
            mutate(c, discrete, variation.mutation_probability, variation.mutation_eta, random);
            bool fresh = is_new(c);
            for (int attempt = 0; !fresh && attempt < retries; ++attempt) {
                mutate(c, discrete, std::max(variation.mutation_probability, 0.5), variation.mutation_eta, random);
                fresh = is_new(c);
            }
            if (fresh) children.insert(children.end(), c, c + d);
        }
    }
    return children;
}

}  // namespace korva::curve::design
