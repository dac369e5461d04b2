// korva.utils.hash: short Base32 fingerprints of dill-picklable objects.
#include "korva/module_body.hpp"

namespace korva::utils::hash {

using namespace nb::literals;

// Base32 of the BLAKE2b digest (of `size` bytes) of the object's dill pickle, "=" written as "0".
nb::object obj_to_hash(const py::Call& g) {
    nb::handle obj = g[0], size = g[1];
    nb::object obj_pkl = g("dill").attr("dumps")(obj);
    nb::object h = g("hashlib").attr("blake2b")("digest_size"_a = size);
    h.attr("update")(obj_pkl);
    nb::object encoded = g("base64").attr("b32encode")(h.attr("digest")());
    return encoded.attr("decode")("utf-8").attr("replace")("=", "0");
}

void body(const ModuleBody& m) {
    m.import("hashlib");
    m.import("base64");
    m.import("dill");
    m.def({"obj_to_hash", obj_to_hash, {{"obj", m("object")}, {"size", m("int"), nb::int_(5)}}, m("str")});
}

}  // namespace korva::utils::hash
