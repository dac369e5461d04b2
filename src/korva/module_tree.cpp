// The submodules of korva, each with the body that runs when it is first imported.
#include "korva/module_tree.hpp"

namespace korva::curve::batch { void body(const ModuleBody&); }
namespace korva::curve::design { void body(const ModuleBody&); }
namespace korva::curve::metrics { void body(const ModuleBody&); }
namespace korva::curve::mos_utils { void body(const ModuleBody&); }
namespace korva::utils { void body(const ModuleBody&); }
namespace korva::utils::hash { void body(const ModuleBody&); }
namespace korva::utils::mtdump { void body(const ModuleBody&); }
namespace korva::utils::mtd_loader { void body(const ModuleBody&); }
namespace korva::utils::safeload { void body(const ModuleBody&); }

namespace korva {

namespace {
const ModuleEntry module_tree[] = {
    {"korva.curve", true, nullptr},
    {"korva.curve.batch", false, curve::batch::body},
    {"korva.curve.design", false, curve::design::body},
    {"korva.curve.metrics", false, curve::metrics::body},
    {"korva.curve.mos_utils", false, curve::mos_utils::body},
    {"korva.utils", true, utils::body},
    {"korva.utils.hash", false, utils::hash::body},
    {"korva.utils.mtdump", false, utils::mtdump::body},
    {"korva.utils.mtd_loader", false, utils::mtd_loader::body},
    {"korva.utils.safeload", false, utils::safeload::body},
};
}  // namespace

const ModuleEntry* find_module_entry(nb::handle fullname) {
    // Any object may arrive as a name: only a str equal to an entry's name finds it (the comparison
    // neither encodes the text nor raises).
    if (!PyUnicode_Check(fullname.ptr())) return nullptr;
    for (const ModuleEntry& entry : module_tree)
        if (PyUnicode_CompareWithASCIIString(fullname.ptr(), entry.name) == 0) return &entry;
    return nullptr;
}

}  // namespace korva
