// korva.utils.safeload: a reader of MTD containers for files from others. It reads and decrypts with
// korva.utils.mtdump's own steps, then runs the serialized stream, as it is decompressed, through
// korva's restricted pickle interpreter: scan_dump in the mode that builds nothing, load_dump in the
// mode that builds through the allow-list table, followed by the checks on the finished graph. The
// checksum is verified before anything is returned; every cost a file can ask for has a budget.
#include "korva/utils/safeload/safeload.hpp"

namespace korva::utils::safeload {

namespace mtdump = korva::utils::mtdump;

namespace {

nb::str decoded(const std::string& text) {
    nb::object result = nb::steal(PyUnicode_DecodeUTF8(text.data(), (Py_ssize_t) text.size(), "surrogateescape"));
    if (!result.is_valid()) throw nb::python_error();
    return nb::borrow<nb::str>(result);
}

// A budget keyword: an int of at least 1 (anything past 2**62 is no limit).
long long positive(const py::Call& g, nb::handle value, const char* name) {
    if (!PyLong_Check(value.ptr()) || PyBool_Check(value.ptr()))
        py::raise(g("TypeError"), py::f_string((std::string(name) + " must be an int, not ").c_str(), nb::repr(value.type())));
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (n == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow < 0 || (!overflow && n < 1)) py::raise(g("ValueError"), (std::string(name) + " must be at least 1").c_str());
    return overflow > 0 || n > (1LL << 62) ? 1LL << 62 : n;
}

Budget budget_of(const py::Call& g, nb::handle max_bytes, nb::handle max_items) {
    Budget budget;
    budget.max_bytes = positive(g, max_bytes, "max_bytes");
    budget.max_items = positive(g, max_items, "max_items");
    return budget;
}

// The URL limits: `timeout` None, or a number of seconds above 0.
mtdump::UrlLimits url_limits(const py::Call& g, nb::handle timeout, const Budget& budget) {
    if (!timeout.is_none()) {
        if (PyBool_Check(timeout.ptr()) || !(PyLong_Check(timeout.ptr()) || PyFloat_Check(timeout.ptr())))
            py::raise(g("TypeError"), py::f_string("timeout must be a number or None, not ", nb::repr(timeout.type())));
        if (!py::compare(timeout, nb::int_(0), Py_GT)) py::raise(g("ValueError"), "timeout must be above 0");
    }
    return {timeout, budget.max_bytes};
}

bool known_serializer(nb::handle serializer) {
    return py::equals(serializer, "pickle") || py::equals(serializer, "dill");
}

// The serializers mtdump writes; anything else is mtdump's own error.
void check_serializer(const py::Call& g, nb::handle serializer) {
    if (!known_serializer(serializer)) py::raise(g("ValueError"), py::f_string("Unknown serializer: ", serializer));
}

// The serialized stream through an interpreter: piece by piece as it is decompressed when the guards
// hold, else the bytes mtdump's literal steps verified, whole.
std::unique_ptr<Interpreter> interpret(const py::Call& g, mtdump::ReadContainer container, nb::handle checksum,
                                       Mode mode, const Budget& budget, const std::vector<TrustedName>& trusted) {
    auto interpreter = std::make_unique<Interpreter>(g, mode, budget, trusted);
    if (stream_into(g, container, checksum, *interpreter, budget.max_bytes)) return interpreter;
    interpreter.reset();
    nb::object serialized = mtdump::verify_payload(g, std::move(container), checksum);
    interpreter = std::make_unique<Interpreter>(g, mode, budget, trusted);
    Py_buffer view;
    if (PyObject_GetBuffer(serialized.ptr(), &view, PyBUF_SIMPLE) < 0) throw nb::python_error();
    try {
        interpreter->feed((const unsigned char*) view.buf, (size_t) view.len);
    } catch (...) {
        PyBuffer_Release(&view);
        throw;
    }
    PyBuffer_Release(&view);
    return interpreter;
}

// MTDUntrustedError listing everything refused; else the error a listed constructor raised.
void raise_refusals(const py::Call& g, Outcome& outcome) {
    if (!outcome.refused.empty()) {
        nb::list refused;
        for (const std::string& item : outcome.refused) refused.append(decoded(item));
        nb::object message = py::s("untrusted content refused: ") + py::s(", ").attr("join")(refused);
        raise_untrusted(g, message, nb::tuple(refused));
    }
    if (outcome.error.is_valid()) {
        PyErr_SetRaisedException(outcome.error.release().ptr());
        throw nb::python_error();
    }
}

nb::list uses_of(const GlobalSeen& seen) {
    nb::list uses;
    for (auto [bit, name] : {std::pair{use_reduce, "REDUCE"}, {use_newobj, "NEWOBJ"}, {use_build, "BUILD"},
                             {use_reference, "reference"}})
        if (seen.uses & bit) uses.append(name);
    return uses;
}

}  // namespace

nb::object load_dump(const py::Call& g) {
    nb::handle path = g[0], passphrase = g[1], checksum = g[2], return_info = g[3], storage_options = g[4];
    // 1. the budgets, and the caller's exact additions to the table
    Budget budget = budget_of(g, g[6], g[7]);
    mtdump::UrlLimits limits = url_limits(g, g[8], budget);
    std::vector<TrustedName> trusted = trusted_names(g, g[5]);
    // 2. read and decrypt as korva.utils.mtdump does
    mtdump::ReadContainer container = mtdump::read_container(g, path, passphrase, storage_options, &limits);
    nb::object info = container.info;
    check_serializer(g, info["dump"]["serializer"]);
    // 3. decompress, verify and build through the interpreter
    std::unique_ptr<Interpreter> interpreter =
        interpret(g, std::move(container), checksum, Mode::load, budget, trusted);
    Outcome outcome = interpreter->finish();
    raise_refusals(g, outcome);
    // 4. the structures compiled code will index, on the finished graph
    validate(interpreter->context(), outcome.root);
    if (py::truthy(return_info)) return nb::make_tuple(outcome.root, info);
    return outcome.root;
}

nb::object scan_dump(const py::Call& g) {
    nb::handle path = g[0], passphrase = g[1], checksum = g[2], storage_options = g[3];
    // 1. the budgets
    Budget budget = budget_of(g, g[4], g[5]);
    mtdump::UrlLimits limits = url_limits(g, g[6], budget);
    // 2. read and decrypt; decompress and verify through the interpreter that builds nothing
    mtdump::ReadContainer container = mtdump::read_container(g, path, passphrase, storage_options, &limits);
    nb::object info = container.info;
    Outcome outcome = interpret(g, std::move(container), checksum, Mode::scan, budget, {})->finish();
    // 3. the report
    nb::list globals;
    for (const GlobalSeen& seen : outcome.globals) {
        nb::dict entry;
        entry["name"] = decoded(seen.name);
        entry["uses"] = uses_of(seen);
        entry["trusted"] = nb::bool_(seen.trusted);
        globals.append(entry);
    }
    nb::list refused_opcodes;
    for (const std::string& item : outcome.not_globals) refused_opcodes.append(decoded(item));
    nb::object serializer = info["dump"]["serializer"];
    nb::dict result;
    result["info"] = info;
    result["serializer"] = serializer;
    result["globals"] = globals;
    result["refused_opcodes"] = refused_opcodes;
    result["trusted"] = nb::bool_(outcome.refused.empty() && known_serializer(serializer));
    return result;
}

void body(const ModuleBody& m) {
    m.import("io");
    m.import("json");
    m.import("struct");
    m.import_from("urllib.request", {"urlopen", "Request"});
    m.import_from("pathlib", {"Path"});
    m.import_from("typing", {"Any", "Dict", "FrozenSet", "Iterable", "List", "Optional", "Union"});
    // The container's constants, exception classes and stages are mtdump's own.
    m.import_from("korva.utils.mtdump",
                  {"MAGIC_NUMBER", "INFO_LEN_FORMAT", "PAYLOAD_LEN_FORMAT", "MTDError", "MTDFormatError",
                   "MTDChecksumError", "MTDDecryptionError", "_prepare_key", "_decrypt_data", "_decompress_data",
                   "_calculate_checksum"});

    m.exception_class("MTDUntrustedError", m("MTDError"));
    m.bind("DEFAULT_TRUSTED", default_trusted());
    m.bind("DEFAULT_MAX_BYTES", nb::int_(default_max_bytes));
    m.bind("DEFAULT_MAX_ITEMS", nb::int_(default_max_items));
    define_narrowed(m);

    nb::object none = nb::none();
    nb::object str = m("str");
    nb::object any = m("Any");
    nb::object integer = m("int");
    nb::object path_type = py::sub(m("Union"), {str, m("Path")});
    nb::object passphrase_type = py::sub(m("Union"), {none, str, m("bytes")});
    nb::object options_type = py::sub(m("Optional"), {py::sub(m("Dict"), {str, str})});
    nb::object timeout_type = py::sub(m("Optional"), {m("float")});
    nb::object sixty = nb::float_(60.0);
    m.def({"load_dump",
           load_dump,
           {{"path", path_type},
            {"passphrase", passphrase_type, none},
            {"checksum", py::sub(m("Optional"), {str}), none},
            {"return_info", m("bool"), nb::bool_(false)},
            {"storage_options", options_type, none}},
           py::sub(m("Union"), {any, py::sub(m("tuple"), {any, m("dict")})}),
           nullptr,
           {{"trusted", py::sub(m("Iterable"), {str}), nb::tuple()},
            {"max_bytes", integer, m("DEFAULT_MAX_BYTES")},
            {"max_items", integer, m("DEFAULT_MAX_ITEMS")},
            {"timeout", timeout_type, sixty}}});
    m.def({"scan_dump",
           scan_dump,
           {{"path", path_type},
            {"passphrase", passphrase_type, none},
            {"checksum", py::sub(m("Optional"), {str}), none},
            {"storage_options", options_type, none}},
           py::sub(m("Dict"), {str, any}),
           nullptr,
           {{"max_bytes", integer, m("DEFAULT_MAX_BYTES")},
            {"max_items", integer, m("DEFAULT_MAX_ITEMS")},
            {"timeout", timeout_type, sixty}}});
}

}  // namespace korva::utils::safeload
