// Progress over the devices of a batch, on stderr: a tqdm bar when tqdm is installed, else one
// plain line rewritten in place.
#pragma once

#include "korva/py/glue.hpp"

namespace korva::curve::batch {

namespace nb = nanobind;

class Progress {
public:
    Progress(bool enabled, Py_ssize_t total);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void advance(Py_ssize_t devices);
    void close();

private:
    void write_line(const char* end);

    bool enabled_;
    Py_ssize_t total_, done_ = 0;
    nb::object bar_;     // the tqdm bar, when there is one
    nb::object stream_;  // sys.stderr, for the plain line
};

}  // namespace korva::curve::batch
