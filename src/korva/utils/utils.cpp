// The package korva.utils: imports its two submodules and names them in __all__.
#include "korva/module_body.hpp"

namespace korva::utils {

void body(const ModuleBody& m) {
    // from . import hash, mtdump
    m.import_relative({"hash", "mtdump"});
    // __all__ = ["mtdump", "hash"]
    nb::list all;
    all.append("mtdump");
    all.append("hash");
    m.bind("__all__", all);
}

}  // namespace korva::utils
