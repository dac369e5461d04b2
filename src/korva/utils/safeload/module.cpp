// korva.utils.safeload: a reader of MTD containers for files from others. It reads, decrypts,
// decompresses and verifies with korva.utils.mtdump's own steps, decides from a static scan of the
// serialized bytes whether every global and opcode is allowed, loads through the restricted
// unpickler and validates the structures compiled code will index, before returning anything.
#include "korva/utils/safeload/safeload.hpp"

namespace korva::utils::safeload {

namespace mtdump = korva::utils::mtdump;

void raise_untrusted(const py::Call& g, nb::handle message, nb::handle refused) {
    nb::object type = g("MTDUntrustedError");
    nb::object error = type(message);
    nb::setattr(error, "refused", refused);
    PyErr_SetObject(type.ptr(), error.ptr());
    throw nb::python_error();
}

namespace {

// What the scan found, in Python terms: the globals report, and what load_dump would refuse.
struct ScanReport {
    nb::list globals;          // [{"name", "uses", "trusted"}]
    nb::list refused_opcodes;  // opcode names
    nb::list refused;          // refused globals, then refused opcodes
    bool array_states = false; // arrays rebuilt from a pickled state (protocols 0-4, dill's helper)
};

nb::str decoded(const std::string& text) {
    nb::object result = nb::steal(PyUnicode_DecodeUTF8(text.data(), (Py_ssize_t) text.size(), "surrogateescape"));
    if (!result.is_valid()) throw nb::python_error();
    return nb::borrow<nb::str>(result);
}

Scan scan_bytes(nb::handle serialized) {
    Py_buffer view;
    if (PyObject_GetBuffer(serialized.ptr(), &view, PyBUF_SIMPLE) < 0) throw nb::python_error();
    Scan scan = scan_pickle((const unsigned char*) view.buf, (size_t) view.len);
    PyBuffer_Release(&view);
    return scan;
}

ScanReport report_of(const py::Call& g, const Scan& scan, nb::handle trusted) {
    ScanReport report;
    nb::object compat = g("_compat_pickle");
    for (const ScannedGlobal& found : scan.globals) {
        auto [module, name] = canonical(compat, decoded(found.module), decoded(found.name));
        nb::object full = py::f_string("", module) + py::s(".") + py::f_string("", name);
        bool allowed = !never_trusted(module, name) && py::contains(trusted, full);
        nb::list uses;
        for (Use use : found.uses) uses.append(use_name(use));
        nb::dict entry;
        entry["name"] = full;
        entry["uses"] = uses;
        entry["trusted"] = nb::bool_(allowed);
        report.globals.append(entry);
        if (!allowed) report.refused.append(full);
        bool built = false;
        for (Use use : found.uses) built = built || use == Use::build;
        if ((built && py::equals(full, "numpy._core.multiarray._reconstruct")) ||
            py::equals(full, "dill._dill._create_array"))
            report.array_states = true;
    }
    for (const std::string& opcode : scan.refused_opcodes) {
        report.refused_opcodes.append(decoded(opcode));
        report.refused.append(decoded(opcode));
    }
    return report;
}

// DEFAULT_TRUSTED | the caller's "module.qualname" strings.
nb::object allow_list(const py::Call& g, nb::handle extra) {
    nb::object names = nb::steal(PySet_New(g("DEFAULT_TRUSTED").ptr()));
    if (!names.is_valid()) throw nb::python_error();
    nb::object items = nb::steal(PyObject_GetIter(extra.ptr()));
    if (!items.is_valid()) throw nb::python_error();
    while (nb::object item = nb::steal(PyIter_Next(items.ptr()))) {
        if (!PyUnicode_Check(item.ptr()))
            py::raise(g("TypeError"), py::f_string("trusted names must be str, not ", nb::repr(item.type())));
        if (PySet_Add(names.ptr(), item.ptr()) < 0) throw nb::python_error();
    }
    if (PyErr_Occurred()) throw nb::python_error();
    nb::object frozen = nb::steal(PyFrozenSet_New(names.ptr()));
    if (!frozen.is_valid()) throw nb::python_error();
    return frozen;
}

bool known_serializer(nb::handle serializer) {
    return py::equals(serializer, "pickle") || py::equals(serializer, "dill");
}

// The serializers mtdump writes; anything else is mtdump's own error.
void check_serializer(const py::Call& g, nb::handle serializer) {
    if (!known_serializer(serializer)) py::raise(g("ValueError"), py::f_string("Unknown serializer: ", serializer));
}

// MTDUntrustedError listing everything the scan refused.
[[noreturn]] void refuse(const py::Call& g, const ScanReport& report) {
    nb::object listed = py::s(", ").attr("join")(report.refused);
    raise_untrusted(g, py::f_string("untrusted content refused before loading: ", listed), nb::tuple(report.refused));
}

}  // namespace

nb::object load_dump(const py::Call& g) {
    nb::handle path = g[0], passphrase = g[1], checksum = g[2], return_info = g[3], storage_options = g[4];
    // 1. read, decrypt, decompress and verify, as korva.utils.mtdump does
    mtdump::ReadPayload read = mtdump::read_payload(g, path, passphrase, checksum, storage_options);
    check_serializer(g, read.info["dump"]["serializer"]);
    // 2. the static scan decides, before anything is imported or called
    nb::object trusted = allow_list(g, g[5]);
    ScanReport report = report_of(g, scan_bytes(read.serialized), trusted);
    if (nb::len(report.refused) != 0) refuse(g, report);
    // 3. the restricted unpickler checks each global again as it resolves it; arrays rebuilt from a
    //    pickled state get their dtypes checked by a replay that builds nothing else first
    if (report.array_states) {
        nb::object prepass = g("_DtypePrepass")(g("io").attr("BytesIO")(read.serialized));
        nb::setattr(prepass, "_trusted", trusted);
        prepass.attr("load")();
    }
    nb::object unpickler = g("_RestrictedUnpickler")(g("io").attr("BytesIO")(read.serialized));
    nb::setattr(unpickler, "_trusted", trusted);
    read.serialized.reset();
    nb::object obj = unpickler.attr("load")();
    unpickler.reset();
    // 4. the structures compiled code will index
    validate_structures(g, obj);
    if (py::truthy(return_info)) return nb::make_tuple(obj, read.info);
    return obj;
}

nb::object scan_dump(const py::Call& g) {
    nb::handle path = g[0], passphrase = g[1], checksum = g[2], storage_options = g[3];
    // 1. read and decrypt; decompress and verify piece by piece when it can, else literally
    mtdump::ReadContainer container = mtdump::read_container(g, path, passphrase, storage_options);
    nb::object info = container.info;
    Scan scan;
    if (!stream_verify_scan(g, container, checksum, scan))
        scan = scan_bytes(mtdump::verify_payload(g, std::move(container), checksum));
    // 2. the report
    nb::object serializer = info["dump"]["serializer"];
    ScanReport report = report_of(g, scan, g("DEFAULT_TRUSTED"));
    nb::dict result;
    result["info"] = info;
    result["serializer"] = serializer;
    result["globals"] = report.globals;
    result["refused_opcodes"] = report.refused_opcodes;
    result["trusted"] = nb::bool_(nb::len(report.refused) == 0 && known_serializer(serializer));
    return result;
}

void body(const ModuleBody& m) {
    m.import("io");
    m.import("json");
    m.import("struct");
    m.import("_codecs");
    m.import("_compat_pickle");
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
    define_unpickler(m);
    define_prepass(m);

    nb::object none = nb::none();
    nb::object str = m("str");
    nb::object any = m("Any");
    nb::object path_type = py::sub(m("Union"), {str, m("Path")});
    nb::object passphrase_type = py::sub(m("Union"), {none, str, m("bytes")});
    nb::object options_type = py::sub(m("Optional"), {py::sub(m("Dict"), {str, str})});
    m.def({"_load_type", _load_type, {{"name", str}}, m("type")});
    m.def({"_encode", _encode, {{"obj", str}, {"encoding", str}}, m("bytes")});
    m.def({"_frombuffer", _frombuffer, {{"buf"}, {"dtype"}, {"shape"}, {"order"}}, any});
    m.def({"_reconstruct", _reconstruct, {{"subtype"}, {"shape"}, {"dtype"}}, any});
    m.def({"_scalar", _scalar, {{"dtype"}, {"obj"}}, any});
    m.def({"_tree", _tree, {{"n_features"}, {"n_classes"}, {"n_outputs"}}, any});
    m.def({"load_dump",
           load_dump,
           {{"path", path_type},
            {"passphrase", passphrase_type, none},
            {"checksum", py::sub(m("Optional"), {str}), none},
            {"return_info", m("bool"), nb::bool_(false)},
            {"storage_options", options_type, none}},
           py::sub(m("Union"), {any, py::sub(m("tuple"), {any, m("dict")})}),
           nullptr,
           {{"trusted", py::sub(m("Iterable"), {str}), nb::tuple()}}});
    m.def({"scan_dump",
           scan_dump,
           {{"path", path_type},
            {"passphrase", passphrase_type, none},
            {"checksum", py::sub(m("Optional"), {str}), none},
            {"storage_options", options_type, none}},
           py::sub(m("Dict"), {str, any})});
}

}  // namespace korva::utils::safeload
