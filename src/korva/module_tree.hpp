// The package's module tree: which dotted names the one extension file serves, and how.
#pragma once

#include "korva/module_body.hpp"

namespace korva {

struct ModuleEntry {
    const char* name;
    bool is_package;
    BodyFunction body;  // nullptr: a package with no statements of its own
};

// The submodules served by the finder (the `korva` package itself is the extension's own module);
// nullptr for any other name, and for a name that is not a str.
const ModuleEntry* find_module_entry(nb::handle fullname);

}  // namespace korva
