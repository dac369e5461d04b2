// korva.curve.design.search_designs: the feasible non-dominated designs of a device type found
// within a budget of evaluations, by a Sobol start and NSGA-II generations, each generation's
// figures predicted in one predict_device_metrics call over the whole population.
#include "korva/curve/design/design.hpp"

#include "korva/curve/batch/progress.hpp"

#include <algorithm>
#include <cmath>
#include <set>

namespace korva::curve::design {

namespace {

struct SearchRequest {
    Predictor predictor;
    Space space;
    Goals goals;
    Py_ssize_t budget = 0;
    nb::object seed;
};

// search_designs(models, device_type, space, objectives, constraints=None, *, fixed=None,
// criteria=None, config=None, robust=0.0, budget=2000, seed=None, exact=False, n_jobs=None,
// progress=False): every argument checked before anything is predicted.
SearchRequest read_request(const py::Call& g) {
    SearchRequest r;
    r.predictor = {.models = g[0], .device_type = g[1], .config = g[7], .criteria = g[6], .exact = g[11],
                   .n_jobs = g[12], .progress = py::truthy(g[13])};
    r.goals = read_goals(g, g[3], g[4], g[8]);
    r.budget = read_count(g[9], "budget", 1);
    r.seed = read_seed(g, g[10]);
    r.space = read_space(g, g[2], g[5], r.predictor.device_type, r.predictor.config);
    std::vector<std::string> figures = r.predictor.figures(g, r.space);
    for (const Objective& objective : r.goals.objectives) check_figure(objective.figure, figures, "objectives");
    for (const Bound& bound : r.goals.constraints) check_figure(bound.figure, figures, "constraints");
    return r;
}

// The search's settings for a budget: a population of a fortieth of the budget, 40 to 100 designs
// (more generations of fewer designs found better fronts on the test problems than fewer of more;
// below 40, the fixed cost of each generation's prediction call starts to show),
// started from a Sobol sample of the power of two at or above twice that, and NSGA-II's usual
// variation (SBX with eta 15 at 0.9, polynomial mutation with eta 20 at 1 / dims).
struct Settings {
    size_t population = 0, initial = 0;
    Variation variation;
};

Settings settings_for(Py_ssize_t budget, size_t dims) {
    Settings s;
    s.population = std::clamp<size_t>((size_t) budget / 40, 40, 100) / 4 * 4;
    s.initial = 1;
    while (s.initial < 2 * s.population) s.initial *= 2;
    s.initial = std::min(s.initial, (size_t) budget);
    s.population = std::min(s.population, (size_t) budget);
    s.variation.mutation_probability = 1.0 / (double) dims;
    return s;
}

// The first `count` points of a scrambled Sobol sequence in the unit cube, from numpy's
// default_rng(seed); drawn as a power of two, so that scipy sees a balanced sample.
std::vector<double> sobol_start(const py::Call& g, size_t dims, size_t count, nb::handle seed) {
    int power = 0;
    while (((size_t) 1 << power) < count) ++power;
    nb::object rng = g("np").attr("random").attr("default_rng")(seed);
    nb::object sampler = g("qmc").attr("Sobol")(dims, "scramble"_a = true, "rng"_a = rng);
    nb::object points = sampler.attr("random_base2")(power);
    std::vector<double> unit = copy_float64(points, {(Py_ssize_t) 1 << power, (Py_ssize_t) dims}, "the Sobol sample");
    unit.resize(count * dims);
    for (double u : unit)
        if (!(u >= 0.0 && u <= 1.0)) py::raise(PyExc_RuntimeError, "the Sobol sample left the unit cube");
    return unit;
}

// The search in progress: every design evaluated, the frames predicted, the front after each
// generation.
class Search {
public:
    Search(const py::Call& g, const SearchRequest& request)
        : g_(g), request_(request), progress_(request.predictor.progress, request.budget) {
        archive.dims = request.space.dims();
        archive.objectives = request.goals.objectives.size();
    }

    // Whether the design at unit point u has not been seen yet; it is from now on.
    bool is_new(const double* u) {
        std::vector<double> key(archive.dims);
        for (size_t i = 0; i < archive.dims; ++i) key[i] = request_.space.value(i, u[i]);
        return seen_.insert(std::move(key)).second;
    }

    // One generation: the figures of its designs in one call, scored and added to the archive.
    void evaluate(const std::vector<double>& unit, int generation) {
        size_t d = archive.dims, count = unit.size() / d, first = archive.size();
        nb::object devices = request_.space.devices(g_, unit.data(), (Py_ssize_t) count, (Py_ssize_t) first);
        nb::object figures = request_.predictor.predict(g_, devices, false);  // one bar, over the budget
        Scores scores = score(g_, request_.goals, figures, (Py_ssize_t) count);
        Failures failures = failures_of(figures);
        failed += failures.count;
        if (first_error.is_none()) first_error = failures.first;
        devices_frames.append(devices);
        figure_frames.append(figures);
        archive.unit.insert(archive.unit.end(), unit.begin(), unit.end());
        archive.values.insert(archive.values.end(), scores.objectives.begin(), scores.objectives.end());
        archive.violation.insert(archive.violation.end(), scores.violation.begin(), scores.violation.end());
        excess.insert(excess.end(), scores.excess.begin(), scores.excess.end());
        archive.generation.insert(archive.generation.end(), count, generation);
        for (size_t i = first; i < archive.size(); ++i) front.add(archive, i);
        fronts.push_back(front.members());
        progress_.advance((Py_ssize_t) count);
    }

    void finish() { progress_.close(); }

    Archive archive;
    std::vector<double> excess;  // per design and constraint, in the figure's unit
    Front front;
    std::vector<std::vector<size_t>> fronts;  // the front after each generation
    nb::list devices_frames, figure_frames;
    Py_ssize_t failed = 0;
    nb::object first_error = nb::none();

private:
    const py::Call& g_;
    const SearchRequest& request_;
    std::set<std::vector<double>> seen_;
    batch::Progress progress_;
};

// The reference point of the hypervolume: the final front's worst value of each objective, moved
// out by a tenth of the front's extent (or of the value, or by 1, when that is 0).
std::vector<double> reference_point(const Archive& archive, const std::vector<size_t>& front) {
    std::vector<double> reference(archive.objectives);
    for (size_t j = 0; j < archive.objectives; ++j) {
        double best = infinity, worst = -infinity;
        for (size_t i : front) {
            best = std::min(best, archive.f(i)[j]);
            worst = std::max(worst, archive.f(i)[j]);
        }
        double margin = 0.1 * (worst - best);
        if (!(margin > 0.0)) margin = 0.1 * std::fabs(worst);
        if (!(margin > 0.0)) margin = 1.0;
        reference[j] = worst + margin;
    }
    return reference;
}

// How close the least infeasible design came, when none is feasible.
nb::object closest(const Search& search, const Goals& goals) {
    const Archive& archive = search.archive;
    if (archive.size() == 0 || !search.front.members().empty()) return nb::none();
    size_t best = 0;
    for (size_t i = 1; i < archive.size(); ++i)
        if (archive.violation[i] < archive.violation[best]) best = i;
    // The constraint missed by most, in its figure's unit (an undecidable one, NaN, first).
    nb::dict excess;
    nb::object largest = nb::none();
    size_t c = goals.constraints.size();
    double most = -1.0;
    for (size_t j = 0; j < c; ++j) {
        double amount = search.excess[best * c + j], rank = std::isnan(amount) ? infinity : amount;
        excess[goals.constraints[j].figure] = amount;
        if (rank > most) {
            most = rank;
            largest = nb::make_tuple(goals.constraints[j].figure, amount);
        }
    }
    nb::dict result;
    result["evaluation"] = best;
    result["violation"] = archive.violation[best];
    result["excess"] = excess;
    result["largest"] = largest;
    return result;
}

// The criteria as given, a callable named by its repr (a frame's attrs stay picklable).
nb::object criteria_used(nb::handle criteria) {
    if (!PyDict_Check(criteria.ptr())) return nb::borrow(criteria);
    nb::dict used;
    for (nb::handle item : dict_items(criteria, "criteria", "criterion -> value")) {
        nb::handle value = PyTuple_GET_ITEM(item.ptr(), 1);
        used[PyTuple_GET_ITEM(item.ptr(), 0)] = PyCallable_Check(value.ptr()) ? nb::object(nb::repr(value)) : nb::borrow(value);
    }
    return used;
}

nb::dict settings_attrs(const SearchRequest& r, const Settings& s) {
    nb::dict objectives, constraints;
    for (const Objective& objective : r.goals.objectives) objectives[objective.figure] = objective.maximise ? "max" : "min";
    for (const Bound& bound : r.goals.constraints)
        constraints[bound.figure] = nb::make_tuple(std::isfinite(bound.low) ? nb::object(nb::float_(bound.low)) : nb::none(),
                                                   std::isfinite(bound.high) ? nb::object(nb::float_(bound.high)) : nb::none());
    nb::dict crossover, mutation, start;
    crossover["method"] = "SBX";
    crossover["probability"] = s.variation.crossover_probability;
    crossover["eta"] = s.variation.crossover_eta;
    mutation["method"] = "polynomial (discrete inputs: a fresh draw)";
    mutation["probability"] = s.variation.mutation_probability;
    mutation["eta"] = s.variation.mutation_eta;
    start["method"] = "scrambled Sobol";
    start["size"] = s.initial;
    nb::dict settings;
    settings["method"] = "NSGA-II with constraint domination";
    settings["objectives"] = objectives;
    settings["constraints"] = constraints;
    settings["robust"] = r.goals.robust;
    settings["budget"] = r.budget;
    settings["space"] = r.space.describe_space();
    settings["fixed"] = r.space.describe_fixed();
    settings["criteria"] = criteria_used(r.predictor.criteria);
    settings["exact"] = py::truthy(r.predictor.exact);
    settings["population"] = s.population;
    settings["initial_sample"] = start;
    settings["crossover"] = crossover;
    settings["mutation"] = mutation;
    return settings;
}

// The front's designs, their inputs then every figure, sorted by the first objective.
nb::object result_frame(const py::Call& g, const Search& search, const SearchRequest& r) {
    std::vector<size_t> rows = search.front.members();
    std::sort(rows.begin(), rows.end());
    nb::list positions;
    for (size_t i : rows) positions.append(i);
    nb::object pd = g("pd");
    nb::object devices = pd.attr("concat")(search.devices_frames).attr("iloc")[positions];
    nb::object figures = pd.attr("concat")(search.figure_frames).attr("iloc")[positions];
    nb::list dropped;
    dropped.append("error");
    figures = figures.attr("drop")("columns"_a = dropped, "errors"_a = "ignore");
    nb::object frame = pd.attr("concat")(nb::make_tuple(devices, figures), "axis"_a = 1);
    const Objective& first = r.goals.objectives.front();
    frame = frame.attr("sort_values")(first.figure, "ascending"_a = !first.maximise, "kind"_a = "stable");
    frame.attr("index").attr("name") = "evaluation";
    return frame;
}

}  // namespace

nb::object search_designs(const py::Call& g) {
    // 1. The request, checked before anything is predicted; the settings for its budget.
    SearchRequest request = read_request(g);
    Settings settings = settings_for(request.budget, request.space.dims());
    Generator random = seeded_generator(g, request.seed);
    std::vector<bool> discrete;
    for (const Input& input : request.space.searched) discrete.push_back(input.discrete);

    // 2. The start: a Sobol sample, repeats of a discrete space's designs dropped.
    Search search(g, request);
    std::vector<double> start, unit = sobol_start(g, request.space.dims(), settings.initial, request.seed);
    for (size_t k = 0; k < settings.initial; ++k)
        if (search.is_new(&unit[k * request.space.dims()]))
            start.insert(start.end(), &unit[k * request.space.dims()], &unit[(k + 1) * request.space.dims()]);
    search.evaluate(start, 0);
    std::vector<size_t> everyone(search.archive.size());
    for (size_t i = 0; i < everyone.size(); ++i) everyone[i] = i;
    Ranked population = survive(search.archive, everyone, settings.population);

    // 3. Generations until the budget is spent (or the space holds no new design).
    int generation = 0;
    while (search.archive.size() < (size_t) request.budget) {
        size_t count = std::min(settings.population, (size_t) request.budget - search.archive.size());
        std::vector<double> children =
            offspring(search.archive, population, count, discrete, settings.variation, random,
                      [&](const double* u) { return search.is_new(u); });
        if (children.empty()) break;
        size_t first = search.archive.size();
        search.evaluate(children, ++generation);
        std::vector<size_t> candidates = population.members;
        for (size_t i = first; i < search.archive.size(); ++i) candidates.push_back(i);
        population = survive(search.archive, candidates, settings.population);
    }
    search.finish();

    // 4. The hypervolume after each generation, against the final front's reference point.
    const std::vector<size_t>& front = search.front.members();
    nb::list hypervolume;
    nb::object reference = nb::none();
    if (!front.empty()) {
        std::vector<double> point = reference_point(search.archive, front);
        for (const std::vector<size_t>& snapshot : search.fronts)
            hypervolume.append(design::hypervolume(search.archive, snapshot, point));
        nb::dict named;
        for (size_t j = 0; j < point.size(); ++j)
            named[request.goals.objectives[j].figure] = request.goals.objectives[j].maximise ? -point[j] : point[j];
        reference = named;
    } else {
        for (size_t k = 0; k < search.fronts.size(); ++k) hypervolume.append(0.0);
    }

    // 5. The frame of the front, with what the search did in attrs["search"].
    nb::object frame = result_frame(g, search, request);
    size_t feasible = 0;
    for (size_t i = 0; i < search.archive.size(); ++i) feasible += search.archive.feasible(i);
    nb::dict info;
    info["evaluations"] = search.archive.size();
    info["generations"] = generation;
    info["feasible"] = feasible;
    info["failed"] = search.failed;
    info["first_error"] = search.first_error;
    info["hypervolume"] = hypervolume;
    info["reference_point"] = reference;
    info["closest"] = closest(search, request.goals);
    info["seed"] = request.seed;
    info["settings"] = settings_attrs(request, settings);
    nb::object attrs = frame.attr("attrs");
    attrs["metrics"] = search.figure_frames[0].attr("attrs").attr("get")("metrics");
    attrs["search"] = info;
    return frame;
}

}  // namespace korva::curve::design
