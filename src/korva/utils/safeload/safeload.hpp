// Shared pieces of korva.utils.safeload: the allow-list table, the restricted pickle interpreter that
// both scans and loads, the narrowed constructors, the checks on the finished object graph and the
// streaming of a payload into the interpreter, each in its own file.
#pragma once

#include "korva/utils/mtdump.hpp"

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace korva::utils::safeload {

// ---- budgets --------------------------------------------------------------------------------
// Generous for real ensembles: the benchmark's 50 MB forest ensemble holds 3,640 values and about
// 51 MB of arrays, so the defaults leave room for ensembles twenty times that size.
constexpr long long default_max_bytes = 1LL << 30;
constexpr long long default_max_items = 10'000'000;

// What one file may make korva hold. `bytes` counts the serialized stream's length on its own, and
// separately the bytes of what it builds: strings, byte strings and arrays by their length, plus a
// fixed cost per value and per container entry; `items` counts every value the interpreter holds
// (each one it puts on its stack, each container entry, each memo entry, each mark).
struct Budget {
    long long max_bytes = default_max_bytes;
    long long max_items = default_max_items;
    long long bytes = 0, items = 0;
};

// ---- the allow-list table (table.cpp) ---------------------------------------------------------
// How a stream may use a listed object, and which narrowed steps stand for it.
enum class Role : uint8_t {
    reference,      // a value only: a class handed to a constructor, a type in a parameter list
    instance,       // NEWOBJ without arguments, then one BUILD of its state
    mapping,        // an instance that SETITEMS also fills (scikit-learn's Bunch)
    ordered_dict,   // REDUCE without arguments, SETITEMS, at most one BUILD
    set, frozenset, complex, bytearray, bytes, slice, range, encode,  // plain data, narrowed forms
    dtype, reconstruct, scalar, frombuffer, create_array, load_type,   // numpy's arrays and dill's
    bit_generator, generator, random_state, seed_sequence,             // numpy's random state
    tree, new_object, partial, cy_loss,                                // scikit-learn's internals
    trusted,        // a caller's exact addition: any REDUCE, NEWOBJ, BUILD or SETITEMS
};

// The stream-level uses a role admits.
enum Allow : uint8_t { allow_reduce = 1, allow_newobj = 2, allow_build = 4, allow_items = 8 };
uint8_t allowed(Role role);

struct Entry {
    const char* module;
    const char* name;
    Role role;
    const char* narrowed;  // the korva function of this module that the pair resolves to; nullptr: the object itself
};

// The table: every listed pair, each once. find_entry also knows the exact older spellings pickle
// writes for a few of them (protocol 2's __builtin__, numpy 1.x's numpy.core, dill's dill.dill).
int entry_count();
const Entry& entry(int index);
int find_entry(std::string_view module, std::string_view name);
std::string full_name(const Entry& e);

nb::object default_trusted();  // the frozenset DEFAULT_TRUSTED of "module.qualname" names

// A name added with `trusted=`: the exact pair "module.qualname" split at its last dot.
struct TrustedName {
    std::string module, name, spelled;
};
std::vector<TrustedName> trusted_names(const py::Call& g, nb::handle names);

class Context;
// What a stream gets for a listed entry: korva's narrowed function, or the listed object itself.
nb::object resolve(Context& ctx, const Entry& e);
// The listed object itself (`import module`, then its one attribute), for the narrowed steps.
nb::object original(const Entry& e);
nb::object original(const char* module, const char* name);
// A caller's pair resolved the same way; refused when the object is one no caller can add. `as_entry`
// is set to the table entry whose object it is (its narrowed steps then apply), else -1.
nb::object resolve_trusted(Context& ctx, const TrustedName& name, int& as_entry);

// The UTF-8 text of a str (its repr's for anything else, "?" for what cannot be encoded).
std::string text_of(nb::handle value);
// How a message shows a value the file chose: a str, bytes, int, float, bool or None by its repr (a
// str or bytes cut after 64 characters), anything else by its type's name. Never a whole repr, which
// a file's sharing of objects could make exponentially long.
std::string shown(nb::handle value);

// ---- refusals -------------------------------------------------------------------------------
// MTDUntrustedError(message) with `refused` set to the tuple `refused`.
[[noreturn]] void raise_untrusted(const py::Call& g, nb::handle message, nb::handle refused);
// MTDUntrustedError(what) refusing `what` alone.
[[noreturn]] void refuse(const py::Call& g, const std::string& what);

// ---- the narrowed constructors and BUILD rules (constructors.cpp) -------------------------------
// What they share with the interpreter during one load; a call from Python has no budget.
class Context {
public:
    Context(const py::Call& g, Budget* budget);
    const py::Call& g;

    // numpy's dtype and ndarray types, from the loaded numpy (a stream with arrays has loaded it)
    nb::handle numpy_dtype();
    nb::handle numpy_ndarray();
    // A listed module's attribute, looked up once per load: the constructors call, and the checks on
    // the finished graph compare with, the objects the stream got, whatever is rebound meanwhile.
    nb::handle original(const char* module, const char* name);
    // The same for an attribute of a module that is already loaded; None when it is not.
    nb::handle loaded(const char* module, const char* name);
    // Objects a caller's `trusted` names resolved to: values the checks accept where they refuse
    // any other class or function.
    void add_trusted(nb::handle obj);
    bool is_trusted(nb::handle obj) const;

    void charge(long long items, long long bytes);  // MTDUntrustedError past the budget
    // The checks on the finished graph: each part checked again in the context of another owner
    // costs one step (and a predictor its categorical features), counted against max_items.
    void charge_checks(long long steps);
    // A dict or set whose keys share one hash value costs quadratic time to fill: a key of a type
    // whose hash the file can choose (anything but str and bytes) is counted per container and value.
    void hash_guard(PyObject* container, PyObject* key);
    // dtypes made by the stream whose BUILD has not run: no array or scalar may take one
    void add_pending(nb::handle dtype);
    bool pending(nb::handle dtype) const;
    void built(nb::handle dtype);
    // dtypes already found consistent (a dtype's state cannot change after its one BUILD), with the
    // number of fields a description of each lists
    bool checked(nb::handle dtype) const;
    void mark_checked(nb::handle dtype, long long fields_listed);
    long long fields_listed(nb::handle dtype) const;

private:
    Budget* budget_;
    long long checks_ = 0;
    nb::object dtype_, ndarray_;
    std::unordered_map<std::string, nb::object> originals_;
    std::vector<nb::object> held_;  // keeps every pointer in the sets below alive
    std::unordered_set<PyObject*> pending_, trusted_;
    std::unordered_map<PyObject*, long long> checked_;
    std::unordered_map<uint64_t, uint32_t> hashes_;
};

// An attribute name an object's state may not set: a dunder name (numpy and others look names such
// as __array_interface__ up on the instance, so an instance holding one passes for another object)
// or, when `cls` is given, a name its class defines (a method or class attribute the state would
// shadow). Empty when the name is fine, else why it is not.
std::string refused_attribute(nb::handle cls, PyObject* key);

nb::object construct(Context& ctx, const Entry& e, nb::handle args);     // REDUCE of a listed entry
void build(Context& ctx, Role role, nb::handle obj, nb::handle state);  // BUILD on what `role` made
void build_generic(nb::handle obj, nb::handle state);  // the type's own __setstate__, else its __dict__
void check_dtype(Context& ctx, nb::handle dtype);      // refuses a dtype numpy would not make itself
int load_type_entry(std::string_view name);            // the entry dill's _load_type(name) serves, or -1
void define_narrowed(const ModuleBody& m);             // the narrowed functions, bound in the module

// A C-contiguous buffer of an exact ndarray (numpy's own export, which runs no Python code).
class ArrayView {
public:
    ArrayView() = default;
    ~ArrayView();
    ArrayView(const ArrayView&) = delete;
    ArrayView& operator=(const ArrayView&) = delete;
    bool acquire(nb::handle array);  // false when it is not C-contiguous
    int ndim() const { return view_.ndim; }
    Py_ssize_t dim(int i) const { return view_.shape[i]; }
    Py_ssize_t itemsize() const { return view_.itemsize; }
    const char* data() const { return (const char*) view_.buf; }
    template <class T>
    T at(Py_ssize_t row, Py_ssize_t offset = 0) const {
        T value;
        std::memcpy(&value, data() + row * view_.itemsize + offset, sizeof(T));
        return value;
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// ---- the checks on the finished graph (validate.cpp) -----------------------------------------
// Walks everything reachable from `root` and raises MTDUntrustedError naming the object's path at
// the first structure compiled code would follow out of bounds.
void validate(Context& ctx, nb::handle root);

// ---- the interpreter (interpreter.cpp) ---------------------------------------------------------
enum class Mode : uint8_t { load, scan };

enum Use : uint8_t { use_reduce = 1, use_newobj = 2, use_build = 4, use_reference = 8 };

struct GlobalSeen {
    std::string name;   // "module.qualname" as listed, or as the stream spells it
    uint8_t uses = 0;   // Use bits
    bool trusted = false;
};

struct Outcome {
    std::vector<GlobalSeen> globals;       // first-use order
    std::vector<std::string> refused;      // everything refused, in stream order
    std::vector<std::string> not_globals;  // the refusals that are not globals (opcodes, framing, budgets, ...)
    nb::object root;                       // load: the object the stream built
    nb::object error;                      // load: the exception a listed constructor raised, if any
};

// One pass over a pickle stream handed over in pieces of any size. In load mode it builds the
// objects; in scan mode it builds nothing and decides the same things from what it tracks. After a
// refusal it builds nothing more and only lists what else it would refuse.
class Interpreter {
public:
    Interpreter(const py::Call& g, Mode mode, Budget budget, std::vector<TrustedName> trusted = {});
    ~Interpreter();
    Interpreter(const Interpreter&) = delete;
    Interpreter& operator=(const Interpreter&) = delete;

    void feed(const unsigned char* data, size_t size);
    bool reading() const;  // false once nothing more will be read
    Outcome finish();
    Context& context();

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

// ---- the payload's way into the interpreter (stream.cpp) ---------------------------------------
// Decompresses a Zstandard payload piece by piece into `interpreter` while a second thread hashes
// the pieces; true when the whole stream went through and its checksum matched. false: nothing is
// decided, the caller takes the literal steps (mtdump's stages, which raise what they raise).
bool stream_into(const py::Call& g, const mtdump::ReadContainer& container, nb::handle checksum,
                 Interpreter& interpreter, long long max_bytes);

}  // namespace korva::utils::safeload
