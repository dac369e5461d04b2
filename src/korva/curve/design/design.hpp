// korva.curve.design: the designs of a device type that best meet targets on their figures of merit
// (a multi-objective evolutionary search, robust to the models' spread), and the global sensitivity
// of the figures to the inputs. The module body lives in design.cpp; each concern has a file of its own.
#pragma once

#include "korva/module_body.hpp"

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <limits>
#include <string>
#include <vector>

namespace korva::curve::design {

namespace nb = nanobind;
using namespace nb::literals;

constexpr double infinity = std::numeric_limits<double>::infinity();

// ---- Plain arguments (arguments.cpp).

// A finite real number (an int, a float, a numpy scalar; not a bool, not a str): TypeError or
// ValueError naming `what`.
double read_real(const py::Call& g, nb::handle value, const char* what);

// An int (not a bool) of at least `minimum`: TypeError or ValueError naming `what`.
Py_ssize_t read_count(nb::handle value, const char* what, Py_ssize_t minimum);

// The seed as used: the int given (>= 0), or fresh entropy from numpy's SeedSequence for None.
nb::object read_seed(const py::Call& g, nb::handle seed);

// The (key, value) pairs of a dict argument, taken once (TypeError naming `what` and what it maps,
// `of`, for anything but a dict).
nb::list dict_items(nb::handle mapping, const char* what, const char* of);

// The names in `given`: one str, or an iterable of str; ValueError when there is none or one
// is repeated, TypeError for a name that is not a str.
std::vector<nb::object> read_names(const py::Call& g, nb::handle given, const char* what);

// ---- Arrays (buffers.cpp).

// The values of a float64 (int64) array of exactly `shape`, copied out through the buffer protocol;
// RuntimeError naming `what` for any other dtype or shape.
std::vector<double> copy_float64(nb::handle array, std::initializer_list<Py_ssize_t> shape, const char* what);
std::vector<int64_t> copy_int64(nb::handle array, std::initializer_list<Py_ssize_t> shape, const char* what);

// A new (rows, columns) float64 array holding `values`, row after row (read-only: korva never
// writes through numpy's memory here).
nb::object float64_array(const py::Call& g, const std::vector<double>& values, Py_ssize_t rows, Py_ssize_t columns);

// ---- The design space (space.cpp).

struct Input {
    nb::object name;
    bool discrete = false;
    double low = 0.0, high = 0.0;  // a continuous input's range
    std::vector<double> values;    // a discrete input's allowed values, ascending, distinct
};

class Space {
public:
    std::vector<Input> searched;
    std::vector<nb::object> fixed_names;
    std::vector<double> fixed_values;

    size_t dims() const { return searched.size(); }

    // Searched input i at the unit coordinate u in [0, 1]: low + u (high - low) as a scaled
    // sample is (within the range), or the allowed value whose share of [0, 1) holds u.
    double value(size_t i, double u) const;

    // The devices at `count` unit points (d coordinates each, point after point): one float64 row
    // per device, the searched inputs then the fixed ones, labelled first, first + 1, ...
    nb::object devices(const py::Call& g, const double* unit, Py_ssize_t count, Py_ssize_t first) const;

    // The space and the fixed inputs as used, for a result's attrs.
    nb::dict describe_space() const;
    nb::dict describe_fixed() const;
};

// `space` and `fixed` checked against the inputs the device type reads (its configuration's base
// input columns, or "A" to "E" for the table's NLD transform): ValueError naming every missing,
// doubled or unknown input, or a range that is empty or inverted.
Space read_space(const py::Call& g, nb::handle space, nb::handle fixed, nb::handle device_type, nb::handle config);

// ---- Figures of merit (figures.cpp).

// What both functions hand predict_device_metrics: the models, the device type, its configuration,
// the criteria, exact, n_jobs and progress, as given.
struct Predictor {
    nb::handle models, device_type, config, criteria, exact, n_jobs;
    bool progress = false;

    // The figures the devices of `space` would have, found by asking predict_device_metrics for
    // none of them: every column that has a "_std" companion. Checks device_type, config, criteria,
    // exact and n_jobs as predict_device_metrics does, before anything is predicted.
    std::vector<std::string> figures(const py::Call& g, const Space& space) const;

    // predict_device_metrics over `devices`, a failing device giving NaN figures and an error text;
    // its progress bar only when `show_progress`. A callable criteria["area"] is called on the
    // devices, and what it returns is the area predict_device_metrics sees.
    nb::object predict(const py::Call& g, nb::handle devices, bool show_progress) const;
};

// ValueError when `name` is not one of `available` (`what` says which argument named it).
void check_figure(nb::handle name, const std::vector<std::string>& available, const char* what);

// A float column of a frame of `rows` rows, checked and copied.
std::vector<double> read_column(const py::Call& g, nb::handle frame, nb::handle name, Py_ssize_t rows);

// How many devices of a predicted frame failed, and the first failure's text (None if none).
struct Failures {
    Py_ssize_t count = 0;
    nb::object first;
};
Failures failures_of(nb::handle frame);

// ---- Targets (goals.cpp).

struct Objective {
    nb::object figure;
    bool maximise = false;
};

struct Bound {
    nb::object figure;
    double low = -infinity, high = infinity;  // an open end is infinite
    double scale = 1.0;                       // what one unit of violation is worth in the total
};

struct Goals {
    std::vector<Objective> objectives;
    std::vector<Bound> constraints;
    double robust = 0.0;
};

// The objectives (one to three, "min" or "max"), the constraints and `robust`, checked.
Goals read_goals(const py::Call& g, nb::handle objectives, nb::handle constraints, nb::handle robust);

// What the search sees of a generation: each objective to minimise at its robust side, the total
// violation (0: feasible; infinite: a figure it needs is NaN) and each constraint's excess in its
// figure's unit (NaN where undecidable).
struct Scores {
    std::vector<double> objectives;  // rows x objectives
    std::vector<double> violation;   // rows
    std::vector<double> excess;      // rows x constraints
};
Scores score(const py::Call& g, const Goals& goals, nb::handle figures, Py_ssize_t rows);

// ---- Random numbers (generator.cpp).

// xoshiro256**: the search's own stream, the same whatever runs the predictions.
class Generator {
public:
    explicit Generator(const uint64_t state[4]);
    uint64_t next();
    double uniform();          // [0, 1), 53 bits
    size_t below(size_t n);    // uniform in [0, n), n >= 1

private:
    uint64_t s_[4];
};

// The generator's state from numpy's SeedSequence(seed, spawn_key=(1,)): independent of the
// stream numpy's default_rng(seed) draws for the space-filling start.
Generator seeded_generator(const py::Call& g, nb::handle seed);

// ---- The evolutionary search (nsga2.cpp, front.cpp).

// Every design evaluated so far, in evaluation order.
struct Archive {
    size_t dims = 0, objectives = 0;
    std::vector<double> unit;        // size() x dims, in [0, 1]
    std::vector<double> values;      // size() x objectives, to minimise
    std::vector<double> violation;   // size()
    std::vector<int> generation;     // size(): 0 for the space-filling start

    size_t size() const { return violation.size(); }
    const double* f(size_t i) const { return values.data() + i * objectives; }
    const double* u(size_t i) const { return unit.data() + i * dims; }
    bool feasible(size_t i) const { return violation[i] == 0.0; }
};

// a dominates b on the first m values: no worse anywhere, better somewhere.
bool dominates(const double* a, const double* b, size_t m);

// A population ranked for selection: members (archive indices) with their non-domination rank
// (infeasible designs after every feasible front) and crowding distance.
struct Ranked {
    std::vector<size_t> members;
    std::vector<size_t> rank;
    std::vector<double> crowding;
};

// NSGA-II's survival: the `keep` best of `candidates` by constraint domination, rank and crowding.
Ranked survive(const Archive& archive, const std::vector<size_t>& candidates, size_t keep);

struct Variation {
    double crossover_probability = 0.9;  // a pair of parents is recombined
    double crossover_eta = 15.0;         // SBX distribution index
    double mutation_eta = 20.0;          // polynomial mutation distribution index
    double mutation_probability = 0.0;   // per coordinate; 1 / dims by default
};

// `count` children of `parents` (binary tournaments, SBX, polynomial mutation; a discrete input's
// coordinate mutates by a fresh draw), as unit points one after another. `is_new(u)` says whether
// a child is a design not seen before (and records it); a repeat mutates again, a few times, and
// is dropped if it stays one: fewer children come back when the space runs out.
std::vector<double> offspring(const Archive& archive, const Ranked& parents, size_t count,
                              const std::vector<bool>& discrete, const Variation& variation, Generator& random,
                              const std::function<bool(const double*)>& is_new);

// The feasible designs no other feasible one dominates, kept up to date as designs arrive.
class Front {
public:
    void add(const Archive& archive, size_t i);
    const std::vector<size_t>& members() const { return members_; }

private:
    std::vector<size_t> members_;
};

// The volume that the points dominate up to `reference` (one to three objectives, to minimise).
double hypervolume(const Archive& archive, const std::vector<size_t>& points, const std::vector<double>& reference);

// ---- Sobol indices (saltelli.cpp).

struct Indices {
    std::vector<double> s1, s1_conf, st, st_conf;  // one per input
};

// First-order (Saltelli 2010) and total (Jansen) indices of the outputs `y`, laid out per base point
// as A, AB_1 .. AB_d, B and normalised to zero mean and unit variance first; confidence
// half-widths at `z` standard errors from `resamples` bootstrap resamples of the base points
// (`resample`: base points x resamples of base point indices, row after row).
Indices sobol_indices(const std::vector<double>& y, size_t dims, const std::vector<int64_t>& resample,
                      size_t resamples, double z);

// ---- The Python functions.

nb::object search_designs(const py::Call& g);
nb::object sensitivity(const py::Call& g);

void body(const ModuleBody& m);

}  // namespace korva::curve::design
