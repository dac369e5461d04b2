// Shared pieces of korva.utils.safeload: the static scanner of a serialized stream, the allow-list,
// the restricted unpickler and the structure validators, each in its own file.
#pragma once

#include "korva/utils/mtdump.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace korva::utils::safeload {

// ---- the static opcode scanner (scanner.cpp): plain C++ over the bytes, no interpreter --------
enum class Use : uint8_t { reduce, newobj, build, reference };

struct ScannedGlobal {
    std::string module, name;   // as the stream spells them, before any rename
    std::vector<Use> uses;      // each kind once, in first-use order
};

struct Scan {
    std::vector<ScannedGlobal> globals;       // first-use order
    std::vector<std::string> refused_opcodes;  // each once, in stream order
};

// Walks the opcodes up to the first STOP (or the end), resolving STACK_GLOBAL's operands through
// a simulated stack and memo, over a stream handed over in pieces of any size. Never reads outside
// the piece it is given.
class Scanner {
public:
    Scanner();
    ~Scanner();
    Scanner(const Scanner&) = delete;
    Scanner& operator=(const Scanner&) = delete;
    // The next piece of the stream; false once the scan has ended (at STOP or an unknown opcode).
    bool feed(const unsigned char* data, size_t size);
    // What was found, after the last piece.
    Scan finish();

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

// The whole stream at once.
Scan scan_pickle(const unsigned char* data, size_t size);

const char* use_name(Use use);

// ---- the allow-list (trusted.cpp) -----------------------------------------------------------
// The frozenset DEFAULT_TRUSTED.
nb::object default_trusted();

// (module, name) after the protocol-2 renames, numpy 1.x's numpy.core.* and dill's old module
// name; `compat` is the `_compat_pickle` module.
std::pair<nb::object, nb::object> canonical(nb::handle compat, nb::handle module, nb::handle name);

// Globals no `trusted` argument can admit: dill's code-by-value constructors and `__main__`.
bool never_trusted(nb::handle module, nb::handle name);

// The globals whose objects are korva's own, narrowed versions of the listed ones: dill's type-table
// lookup (plain data types only) and protocol 2's bytes codec (latin1 only); the name of the korva
// function that serves one, else nullptr.
const char* substitute_for(nb::handle module, nb::handle name);
nb::object _load_type(const py::Call& g);
nb::object _encode(const py::Call& g);
nb::object _frombuffer(const py::Call& g);
nb::object _reconstruct(const py::Call& g);
nb::object _scalar(const py::Call& g);
nb::object _tree(const py::Call& g);

// ---- the restricted unpickler (unpickler.cpp) -------------------------------------------------
// The class `_RestrictedUnpickler(_pickle.Unpickler)` with its find_class and persistent_load.
nb::object define_unpickler(const ModuleBody& m);

// find_class's first step (self, module_name, global_name): the canonical names, or
// MTDUntrustedError unless the global is on the unpickler's `_trusted` list.
struct CheckedGlobal {
    nb::object module, name, full;
};
CheckedGlobal check_global(const py::Call& g);
nb::object find_class(const py::Call& g);
nb::object persistent_load(const py::Call& g);

// ---- the dtype pre-pass (prepass.cpp) ---------------------------------------------------------
// `_Inert` and the class `_DtypePrepass(_RestrictedUnpickler)` whose find_class builds only dtypes.
void define_prepass(const ModuleBody& m);
nb::object _check_dtypes(const py::Call& g);
nb::object _prepass_find_class(const py::Call& g);

// ---- the structure validators (validators.cpp) -------------------------------------------------
// Walks the loaded object and checks every structure compiled code indexes with stored numbers;
// raises MTDUntrustedError naming the object's path at the first violation.
void validate_structures(const py::Call& g, nb::handle obj);

// A dtype whose names, fields, offsets and subarray agree with its item size, recursively.
void check_dtype(const py::Call& g, nb::handle dtype);

// ---- the streaming path of scan_dump (stream.cpp) ---------------------------------------------
// Decompresses, hashes and scans a Zstandard payload piece by piece when the guards hold and the
// checksum matches; false: nothing is decided, take the literal steps.
bool stream_verify_scan(const py::Call& g, const mtdump::ReadContainer& container, nb::handle checksum, Scan& scan);

// ---- shared by the files above ---------------------------------------------------------------
// MTDUntrustedError(message) with `refused` set to the tuple `refused`.
[[noreturn]] void raise_untrusted(const py::Call& g, nb::handle message, nb::handle refused);

}  // namespace korva::utils::safeload
