// The finder and loader on sys.meta_path that serves korva's submodules from the extension file.
#pragma once

#include "korva/module_body.hpp"

namespace korva {

// Creates the finder type; its instances find specs for the module tree and execute module bodies.
nb::object create_finder_type(nb::handle package_module);

// Puts one finder at the front of sys.meta_path, replacing a finder left by an earlier load.
void install_finder(nb::handle finder_type);

}  // namespace korva
