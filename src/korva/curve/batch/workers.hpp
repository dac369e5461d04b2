// Threads for the chunks of a batch: how many n_jobs asks for, and the pool that runs the chunks,
// with BLAS held to one thread per worker while they run, and reports their failures in chunk order.
#pragma once

#include "korva/py/function.hpp"

#include <functional>

namespace korva::curve::batch {

namespace nb = nanobind;

// The number of threads `n_jobs` asks for, as scikit-learn reads it: None or 1 for one, k > 1 for
// k, -1 for every core and -k for all but k - 1 (joblib.effective_n_jobs when joblib is
// importable, else os.process_cpu_count()). 0 raises ValueError; a bool or a non-int, TypeError.
Py_ssize_t threads_for(nb::handle n_jobs);

// For a dask DataFrame, dask's scheduler decides how many partitions run at once: threads of
// korva's own (n_jobs other than None or 1) are refused with a ValueError.
void refuse_threads_for_dask(Py_ssize_t threads);

// Runs `task(chunk)` for the chunks 0 .. count-1 on `threads` threads of korva's own, each taking the
// next chunk when it is done with one; the calling thread waits with the GIL released. While they
// run, the BLAS libraries loaded in the process use one thread each (threadpoolctl, when
// importable); the limits in force before are restored when the last of the calls holding them
// ends, also when it raises. When a chunk's task throws, no chunk after it starts, every chunk that
// started finishes, and the exception of the first failing chunk (in chunk order, not in time) is
// thrown here. So is a KeyboardInterrupt received meanwhile, once the started chunks have finished.
// The task may call py::checkpoint() between its steps.
void run_chunks(Py_ssize_t count, Py_ssize_t threads, const std::function<void(Py_ssize_t)>& task);

}  // namespace korva::curve::batch
