// korva.curve.batch.predict_curves_for_frame: the curves of every device (row) of a DataFrame, as
// predict_curves_for_inputs gives them for each row, predicted chunk by chunk through the
// vectorised core. Devices the core cannot take, and every device of a chunk the core failed on,
// go through the module's own predict_curves_for_inputs, which decides each device's outcome.
#include "korva/curve/batch/batch.hpp"

#include "korva/curve/batch/device_inputs.hpp"
#include "korva/curve/batch/outputs.hpp"
#include "korva/curve/batch/progress.hpp"
#include "korva/curve/batch/workers.hpp"
#include "korva/py/attached_thread.hpp"

#include <algorithm>

namespace korva::curve::batch {

using namespace nb::literals;

namespace {

// Query rows per stacked block by default: the working set of a chunk stays a few tens of MB.
constexpr Py_ssize_t rows_per_block = 131072;
// With several threads, the default chunks are cut into pieces of a multiple of this many devices.
constexpr Py_ssize_t piece_alignment = 64;

bool is_text(nb::handle value, const char* text) { return PyUnicode_Check(value.ptr()) && py::equals(value, text); }

[[noreturn]] void raise_choice(const char* parameter, nb::handle value, const char* first, const char* second) {
    PyErr_Format(PyExc_ValueError, "%s must be '%s' or '%s', not %R", parameter, first, second, value.ptr());
    throw nb::python_error();
}

// What a call was given, in predict_curves_for_frame's order.
struct Arguments {
    nb::handle models, devices, device_type, curve_types, config, exact, output, errors, chunk_size, progress,
        n_jobs;
};

// The checked request of every entry point, the public function's and the partition tasks' alike.
Request read_request(const Arguments& a) {
    Request request{.models = a.models, .devices = a.devices, .device_type = a.device_type,
                    .curve_types = a.curve_types, .config = a.config, .exact = py::truthy(a.exact)};
    nb::handle output = a.output, errors = a.errors, chunk_size = a.chunk_size;
    if (!is_text(output, "records") && !is_text(output, "frame")) raise_choice("output", output, "records", "frame");
    if (!is_text(errors, "raise") && !is_text(errors, "return")) raise_choice("errors", errors, "raise", "return");
    request.frame = is_text(output, "frame");
    request.return_errors = is_text(errors, "return");
    request.chunk_size = read_chunk_size(chunk_size);
    request.progress = py::truthy(a.progress);
    request.threads = threads_for(a.n_jobs);
    return request;
}

// "pandas.Series", "list": what was given instead of a DataFrame.
nb::object given_type_name(nb::handle obj) {
    nb::handle type = obj.type();
    nb::object module = nb::getattr(type, "__module__", nb::none());
    nb::object name = nb::getattr(type, "__qualname__", nb::str(Py_TYPE(obj.ptr())->tp_name));
    if (!PyUnicode_Check(module.ptr()) || py::equals(module, "builtins")) return name;
    return nb::str("{}.{}").format(module, name);
}

[[noreturn]] void raise_not_a_frame(nb::handle devices) {
    PyErr_Format(PyExc_TypeError, "devices must be a pandas DataFrame with one row per device, not %U",
                 given_type_name(devices).ptr());
    throw nb::python_error();
}

// Rows [first, second) of devices: one chunk.
using Span = std::pair<Py_ssize_t, Py_ssize_t>;

// The chunks of a request, in row order. By default a chunk holds about rows_per_block query rows.
// With several threads each default chunk is cut into pieces, so that every thread has work (two
// pieces each when there are devices enough). A piece starts a multiple of piece_alignment devices
// into its chunk, so each of its stacked query matrices is an aligned slice of the chunk's: BLAS
// computes each row of an aligned slice as it computes it in the whole, so the linear models of
// exact=False give what they give on one thread, to the bit.
std::vector<Span> chunk_spans(const Request& request, Py_ssize_t max_points, Py_ssize_t count, Py_ssize_t threads) {
    Py_ssize_t chunk_size = request.chunk_size, piece = 0;
    if (!chunk_size) {
        chunk_size = std::max<Py_ssize_t>(1, rows_per_block / std::max<Py_ssize_t>(max_points, 101));
        if (threads > 1) {
            piece = (count + 2 * threads - 1) / (2 * threads);
            piece = (piece + piece_alignment - 1) / piece_alignment * piece_alignment;
        }
    }
    std::vector<Span> spans;
    for (Py_ssize_t start = 0; start < count;) {
        Py_ssize_t stop = start + std::min(chunk_size, count - start);
        Py_ssize_t step = piece ? piece : stop - start;
        for (Py_ssize_t first = start; first < stop; first += std::min(step, stop - first))
            spans.emplace_back(first, first + std::min(step, stop - first));
        start = stop;
    }
    return spans;
}

// The devices of a chunk that the core takes, predicted together. False when the core cannot
// finish them: they then go device by device, and each device's own steps say whether it fails.
bool predict_together(const core::Context& ctx, const core::Plan& plan, const DeviceInputs::Chunk& chunk,
                      Output& output) {
    try {
        std::unique_ptr<Block> block = output.block(chunk.stacked);
        core::predict_block(ctx, plan, chunk.base, *block);
        block->commit();
        return true;
    } catch (const core::NotVectorisable&) {
        return false;
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_Exception)) throw;
        return false;
    }
}

// Fast mode, after the core failed on a chunk: its devices through the core one at a time, so that a
// device's values never depend on which others share its chunk (a device whose blend overflows,
// say, would otherwise send its chunk's neighbours to the per-device steps, whose linear models
// sum in scikit-learn's order). Returns the rows that still fail there. With `stop_at_failure`
// (errors="raise"), the first such row ends the tries: it and the rows after it are returned, and
// the devices after a failing one are never predicted, as on the per-device steps.
std::vector<Py_ssize_t> predict_alone(const core::Context& ctx, const core::Plan& plan, const DeviceInputs::Chunk& chunk,
                                      Output& output, bool stop_at_failure) {
    std::vector<Py_ssize_t> failed;
    for (size_t i = 0; i < chunk.stacked.size(); ++i) {
        if (stop_at_failure && !failed.empty()) {
            failed.insert(failed.end(), chunk.stacked.begin() + (Py_ssize_t) i, chunk.stacked.end());
            break;
        }
        DeviceInputs::Chunk one;
        one.stacked.push_back(chunk.stacked[i]);
        try {
            one.base = chunk.base[py::slice(nb::int_(i), nb::int_(i + 1))];
        } catch (nb::python_error& error) {
            if (!error.matches(PyExc_Exception)) throw;
        }
        if (!one.base.is_valid() || !predict_together(ctx, plan, one, output)) failed.push_back(chunk.stacked[i]);
    }
    return failed;
}

// One device through the module's own predict_curves_for_inputs, with its Series devices.iloc[row].
void predict_one(const py::Call& g, const Request& request, Py_ssize_t row, Output& output) {
    nb::object device_inputs = request.devices.attr("iloc")[nb::int_(row)];
    nb::object records;
    try {
        nb::object predict = g("mos_utils").attr("predict_curves_for_inputs");
        records = predict(request.models, device_inputs, request.device_type, request.curve_types, request.config);
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_Exception)) throw;
        if (request.return_errors) {
            output.failure(row, error.value());
            return;
        }
        nb::object label = request.devices.attr("index")[nb::int_(row)];
        nb::object note = nb::steal(PyUnicode_FromFormat(
            "while predicting the curves of device %R (row %zd of devices)", label.ptr(), row));
        if (!note.is_valid()) throw nb::python_error();
        error.value().attr("add_note")(note);
        throw;
    }
    output.device(row, records);
}

// The devices of rows [start, stop) as DeviceInputs sorts them; all of them take the per-device
// steps when an array it allocated through the module's np is not what it asked for.
DeviceInputs::Chunk sorted_devices(const DeviceInputs& inputs, Py_ssize_t start, Py_ssize_t stop) {
    try {
        return inputs.chunk(start, stop);
    } catch (const core::NotVectorisable&) {
        DeviceInputs::Chunk chunk;
        for (Py_ssize_t row = start; row < stop; ++row) chunk.literal.push_back(row);
        return chunk;
    }
}

[[noreturn]] void raise_repeated_labels(nb::handle labels) {
    nb::object repeated = labels[labels.attr("duplicated")()].attr("unique")()[py::slice(nb::none(), nb::int_(5))];
    PyErr_Format(PyExc_ValueError,
                 "output='frame' needs one index label per device, but the index of devices repeats %R",
                 repeated.attr("tolist")().ptr());
    throw nb::python_error();
}

[[noreturn]] void raise_missing_label(nb::handle labels) {
    nb::object row = labels.attr("isna")().attr("argmax")();
    PyErr_Format(PyExc_ValueError,
                 "output='frame' needs an index label for every device, but the index of devices has a missing "
                 "label (%R) in row %S",
                 labels[row].ptr(), row.ptr());
    throw nb::python_error();
}

}  // namespace

Py_ssize_t read_chunk_size(nb::handle chunk_size) {
    if (chunk_size.is_none()) return 0;
    if (!PyLong_Check(chunk_size.ptr()) || PyBool_Check(chunk_size.ptr())) {
        PyErr_Format(PyExc_TypeError, "chunk_size must be an int or None, not %.200s", Py_TYPE(chunk_size.ptr())->tp_name);
        throw nb::python_error();
    }
    int overflow = 0;
    long long size = PyLong_AsLongLongAndOverflow(chunk_size.ptr(), &overflow);
    if (overflow > 0) size = PY_SSIZE_T_MAX;
    if (size < 1) {
        PyErr_Format(PyExc_ValueError, "chunk_size must be at least 1, not %R", chunk_size.ptr());
        throw nb::python_error();
    }
    return (Py_ssize_t) std::min<long long>(size, PY_SSIZE_T_MAX);
}

nb::object predict_pandas(const py::Call& g, const Request& request) {
    core::Context ctx(g, g("mos_utils"));
    nb::handle devices = request.devices;
    bool original = core::curve_module_is_original(ctx);
    if (original) check_input_columns(ctx, devices, request.device_type, request.config);

    Py_ssize_t count = (Py_ssize_t) nb::len(devices);
    nb::object device_dtype;
    if (request.frame) {
        // The device categories: a label per row (a MultiIndex gives each row the tuple of its levels).
        nb::object labels = devices.attr("index").attr("to_flat_index")();
        if (py::truthy(labels.attr("hasnans"))) raise_missing_label(labels);
        if (!py::truthy(labels.attr("is_unique"))) raise_repeated_labels(labels);
        device_dtype = g("pd").attr("CategoricalDtype")("categories"_a = labels);
    }

    std::optional<core::Plan> plan;
    if (original)
        plan = core::make_plan(ctx, request.models, request.device_type, request.curve_types, request.config,
                               request.exact ? core::Stacking::exact : core::Stacking::rounding);
    if (plan && request.keep_job)
        std::erase_if(plan->jobs, [&](const core::Job& job) { return !request.keep_job(job); });
    std::unique_ptr<Output> output =
        request.output ? request.output(plan ? &*plan : nullptr, count)
        : request.frame ? frame_output(g, plan ? &*plan : nullptr, device_dtype, count) : records_output(g, count);
    std::optional<DeviceInputs> inputs;
    if (plan) inputs.emplace(ctx, *plan, devices);

    Py_ssize_t threads = std::min(request.threads, std::max<Py_ssize_t>(count, 1));
    std::vector<Span> spans = chunk_spans(request, plan ? plan->max_points : 0, count, threads);

    Progress progress(request.progress, count);
    auto predict_chunk = [&](Py_ssize_t index) {
        auto [start, stop] = spans[(size_t) index];
        std::vector<Py_ssize_t> one_by_one;
        if (inputs) {
            DeviceInputs::Chunk chunk = sorted_devices(*inputs, start, stop);
            one_by_one = chunk.literal;
            if (!chunk.stacked.empty() && !predict_together(ctx, *plan, chunk, *output)) {
                std::vector<Py_ssize_t> failed = chunk.stacked;
                if (!request.exact && failed.size() > 1)
                    failed = predict_alone(ctx, *plan, chunk, *output, !request.return_errors);
                one_by_one.insert(one_by_one.end(), failed.begin(), failed.end());
                std::sort(one_by_one.begin(), one_by_one.end());
            }
        } else {
            for (Py_ssize_t row = start; row < stop; ++row) one_by_one.push_back(row);
        }
        for (Py_ssize_t row : one_by_one) {
            py::checkpoint();  // at the interpreter's exit, a call stops between devices
            predict_one(g, request, row, *output);
        }
        progress.advance(stop - start);
    };
    Py_ssize_t chunks = (Py_ssize_t) spans.size();
    if (threads > 1 && chunks > 1) {
        if (plan) plan->worker_threads = true;
        run_chunks(chunks, threads, predict_chunk);
    } else {
        for (Py_ssize_t index = 0; index < chunks; ++index) {
            py::checkpoint();
            predict_chunk(index);
        }
    }
    progress.close();
    return output->finish();
}

// The request for a pandas DataFrame, refused when it cannot be met.
nb::object predict_checked_pandas(const py::Call& g, const Request& request) {
    if (!py::truthy(g("isinstance")(request.devices, g("pd").attr("DataFrame")))) raise_not_a_frame(request.devices);
    if (request.frame && request.return_errors)
        py::raise(g("ValueError"),
                  "errors='return' needs output='records': a frame has no place for a device's exception "
                  "(use errors='raise', or output='records')");
    return predict_pandas(g, request);
}

nb::object predict_curves_for_frame(const py::Call& g) {
    Request request = read_request({g[0], g[1], g[2], g[3], g[4], g[5], g[6], g[7], g[8], g[9], g[10]});
    if (is_dask(request.devices)) {
        refuse_threads_for_dask(request.threads);
        return predict_dask(g, request);
    }
    return predict_checked_pandas(g, request);
}

// A partition task of a dask graph, which anyone can build by hand or unpickle: its arguments are
// checked like the public function's.
nb::object _predict_partition(const py::Call& g) {
    nb::object frame = py::s("frame"), raise_errors = py::s("raise");
    Request request = read_request({g[1], g[0], g[2], g[3], g[4], g[5], frame, raise_errors, g[6], Py_False, Py_None});
    return predict_checked_pandas(g, request);
}

}  // namespace korva::curve::batch
