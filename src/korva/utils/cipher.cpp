// The AES-256-CBC layer of MTD payloads: a random IV in front of the ciphertext of the PKCS7-padded
// data. decrypt_payload is the decryption both container modules run.
//
// The payload is the largest object in play, so the steps avoid copies they do not need: the
// package's own cipher context reads the ciphertext through a view of the payload and writes
// straight into results of ours (behind the IV when encrypting), and its own PKCS7 contexts are
// given only the last block, the one part of the data that padding reads or changes, while the
// whole blocks stay where they are. Writing into memory that we later resize, free or hand out as
// immutable bytes is only safe for a writer that keeps nothing of it, so these shortcuts trust the
// package's compiled classes by exact type, and only while the methods they stand in for are the
// classes' own built-ins (the classes are mutable: a method put on one is not theirs). With any
// other padding or cipher objects (a replaced Cipher, a wrapper around the package's objects, a
// patched class) the steps run literally.
#include "korva/utils/buffers.hpp"
#include "korva/utils/mtdump.hpp"

#include <cstring>
#include <initializer_list>
#include <stdexcept>

namespace korva::utils::mtdump {

using namespace nb::literals;

namespace {

constexpr Py_ssize_t aes_block = 16;
// update_into needs room for the input plus less than one block beyond what it writes.
constexpr Py_ssize_t update_into_slack = 2 * aes_block;

// padding.PKCS7(algorithms.AES.block_size); `standard` tells whether the block is AES's 128 bits.
nb::object pkcs7(const py::Call& g, bool& standard) {
    nb::object pkcs7_type = g("padding").attr("PKCS7");
    nb::object block_size = g("algorithms").attr("AES").attr("block_size");
    standard = false;
    if (PyLong_CheckExact(block_size.ptr())) {
        int overflow = 0;
        standard = PyLong_AsLongAndOverflow(block_size.ptr(), &overflow) == 8 * aes_block && !overflow;
    }
    return pkcs7_type(block_size);
}

// Cipher(algorithms.AES(key), modes.CBC(iv), backend=default_backend()), evaluated in that order.
nb::object aes_cbc(const py::Call& g, nb::handle key, nb::handle iv) {
    nb::object cipher_type = g("Cipher");
    nb::object algorithm = g("algorithms").attr("AES")(key);
    nb::object mode = g("modes").attr("CBC")(iv);
    nb::object backend = g("default_backend")();
    return cipher_type(algorithm, mode, "backend"_a = backend);
}

// True when the type of `obj` is exactly the cryptography package's compiled class reached from its
// Rust bindings module through `path` (looked up among the loaded modules, never imported here),
// whose behaviour the shortcuts rely on.
bool is_cryptography_class(nb::handle obj, std::initializer_list<const char*> path) {
    nb::object cls = nb::steal(PyImport_GetModule(nb::str("cryptography.hazmat.bindings._rust").ptr()));
    if (!cls.is_valid()) {
        if (PyErr_Occurred()) throw nb::python_error();
        return false;
    }
    for (const char* name : path) {
        cls = nb::getattr(cls, name, nb::none());
        if (cls.is_none()) return false;
    }
    return (PyObject*) Py_TYPE(obj.ptr()) == cls.ptr();
}

}  // namespace

bool is_own_builtin(nb::handle obj, nb::handle method, const char* name) {
    if (!PyCFunction_Check(method.ptr()) || PyCFunction_GET_SELF(method.ptr()) != obj.ptr()) return false;
    const PyMethodDef* resolved = reinterpret_cast<PyCFunctionObject*>(method.ptr())->m_ml;
    for (const PyMethodDef* own = Py_TYPE(obj.ptr())->tp_methods; own && own->ml_name; ++own)
        if (std::strcmp(own->ml_name, name) == 0) return resolved == own;
    return false;
}

namespace {

// `obj.<name>` of an object of the package's compiled class at `path` when it is that class's own
// built-in; invalid otherwise.
nb::object own_method(nb::handle obj, std::initializer_list<const char*> path, const char* name) {
    if (!is_cryptography_class(obj, path)) return {};
    nb::object method = nb::getattr(obj, name, nb::none());
    return is_own_builtin(obj, method, name) ? method : nb::object();
}

// The `update_into` of the package's own encryptor or decryptor, which fills the buffer during the
// call and keeps no reference to it, so it may write into our own unpublished results. It stands in
// for `update`, so that must be the class's own too. Invalid for anything else.
nb::object cipher_update_into(nb::handle obj) {
    std::initializer_list<const char*> cipher_context = {"openssl", "ciphers", "CipherContext"};
    if (!own_method(obj, cipher_context, "update").is_valid()) return {};
    return own_method(obj, cipher_context, "update_into");
}

nb::object item(nb::handle container, nb::handle key) {
    nb::object result = nb::steal(PyObject_GetItem(container.ptr(), key.ptr()));
    if (!result.is_valid()) throw nb::python_error();
    return result;
}

nb::object byte_view(nb::handle data, Py_ssize_t start, Py_ssize_t stop) {
    nb::object view = nb::steal(PyMemoryView_FromObject(data.ptr()));
    if (!view.is_valid()) throw nb::python_error();
    nb::object part = nb::steal(PySequence_GetSlice(view.ptr(), start, stop));
    if (!part.is_valid()) throw nb::python_error();
    return part;
}

// The padded plaintext as the pieces that, joined, make `padder.update(data) + padder.finalize()`.
struct PaddedPieces {
    nb::object parts[3];
    int count = 0;
    void add(nb::object part) { parts[count++] = std::move(part); }
};

PaddedPieces pad(nb::handle padder, bool standard_block, nb::handle data) {
    PaddedPieces pieces;
    if (standard_block && PyBytes_CheckExact(data.ptr()) && own_method(padder, {"PKCS7PaddingContext"}, "update").is_valid()) {
        // The padding depends only on the length modulo the block: the padder sees the trailing
        // partial block, the whole blocks go to the cipher as a view.
        Py_ssize_t size = PyBytes_GET_SIZE(data.ptr());
        Py_ssize_t whole = size - size % aes_block;
        pieces.add(byte_view(data, 0, whole));
        pieces.add(padder.attr("update")(byte_view(data, whole, size)));
    } else {
        pieces.add(padder.attr("update")(data));
    }
    pieces.add(padder.attr("finalize")());
    return pieces;
}

Py_ssize_t byte_length(nb::handle piece) {
    if (PyBytes_CheckExact(piece.ptr())) return PyBytes_GET_SIZE(piece.ptr());
    if (PyMemoryView_Check(piece.ptr())) {
        const Py_buffer* view = PyMemoryView_GET_BUFFER(piece.ptr());
        if (view->itemsize == 1 && PyBuffer_IsContiguous(view, 'C')) return view->len;
    }
    return -1;
}

// `iv + encryptor.update(padded_data) + encryptor.finalize()` written straight into one result:
// the package's cipher context fills a preallocated bytes object behind the IV. Returns an invalid
// object for any other encryptor or when the pieces are not plain byte buffers; the caller then
// takes the general way.
nb::object encrypt_behind_iv(nb::handle encryptor, nb::handle iv, const PaddedPieces& pieces) {
    if (!PyBytes_CheckExact(iv.ptr())) return {};
    nb::object update_into = cipher_update_into(encryptor);
    if (!update_into.is_valid()) return {};
    Py_ssize_t size = PyBytes_GET_SIZE(iv.ptr());
    for (int i = 0; i < pieces.count; ++i) {
        Py_ssize_t length = byte_length(pieces.parts[i]);
        if (length < 0 || length > PY_SSIZE_T_MAX - update_into_slack - size) return {};
        size += length;
    }

    Py_ssize_t capacity = size + update_into_slack;
    nb::object result = buffers::allocate(capacity);
    Py_ssize_t written = PyBytes_GET_SIZE(iv.ptr());
    std::memcpy(PyBytes_AS_STRING(result.ptr()), PyBytes_AS_STRING(iv.ptr()), (size_t) written);
    for (int i = 0; i < pieces.count; ++i) {
        nb::object count;
        {
            buffers::Window window(result, written, capacity - written);
            count = update_into(pieces.parts[i], window.view());
            window.close(result);
        }
        Py_ssize_t n = PyLong_AsSsize_t(count.ptr());
        if (n == -1 && PyErr_Occurred()) throw nb::python_error();
        if (n < 0 || n > capacity - written) throw std::length_error("update_into reported an impossible count");
        written += n;
    }
    nb::object last = encryptor.attr("finalize")();
    if (PyBytes_CheckExact(last.ptr()) && PyBytes_GET_SIZE(last.ptr()) <= capacity - written) {
        Py_ssize_t last_size = PyBytes_GET_SIZE(last.ptr());
        std::memcpy(PyBytes_AS_STRING(result.ptr()) + written, PyBytes_AS_STRING(last.ptr()), (size_t) last_size);
        buffers::shrink(result, written + last_size);
        return result;
    }
    buffers::shrink(result, written);
    return buffers::concat(std::move(result), last);
}

// `decryptor.update(ct) + decryptor.finalize()` with the package's cipher context writing into a
// result of our own, which then belongs to nobody else and can be cut down in place by the
// unpadding. `update_into` is the decryptor's own (cipher_update_into); returns an invalid object
// without it or when `ct` is not a plain byte buffer.
nb::object decrypt_into(nb::handle decryptor, nb::handle update_into, nb::handle ct) {
    if (!update_into.is_valid()) return {};
    Py_ssize_t size = byte_length(ct);
    if (size < 0 || size > PY_SSIZE_T_MAX - update_into_slack) return {};
    Py_ssize_t capacity = size + update_into_slack;
    nb::object result = buffers::allocate(capacity);
    nb::object count;
    {
        buffers::Window window(result, 0, capacity);
        count = update_into(ct, window.view());
        window.close(result);
    }
    Py_ssize_t written = PyLong_AsSsize_t(count.ptr());
    if (written == -1 && PyErr_Occurred()) throw nb::python_error();
    if (written < 0 || written > capacity) throw std::length_error("update_into reported an impossible count");
    buffers::shrink(result, written);
    return buffers::concat(std::move(result), decryptor.attr("finalize")());
}

// `unpadder.update(padded) + unpadder.finalize()` for the package's own PKCS7 unpadder: only the
// last block, the one that holds the padding, goes through it, and the result is `padded` itself,
// cut short by the padding. Returns an invalid object when the shortcut does not apply.
nb::object unpad_in_place(nb::handle unpadder, bool standard_block, nb::object& padded) {
    if (!standard_block || !PyBytes_CheckExact(padded.ptr()) || Py_REFCNT(padded.ptr()) != 1) return {};
    Py_ssize_t size = PyBytes_GET_SIZE(padded.ptr());
    if (size < aes_block || size % aes_block != 0 ||
        !own_method(unpadder, {"PKCS7UnpaddingContext"}, "update").is_valid())
        return {};
    const char* data = PyBytes_AS_STRING(padded.ptr());
    nb::object last_block = nb::steal(PyBytes_FromStringAndSize(data + size - aes_block, aes_block));
    if (!last_block.is_valid()) throw nb::python_error();
    nb::object head = unpadder.attr("update")(last_block);
    nb::object tail = unpadder.attr("finalize")();
    bool as_expected = PyBytes_CheckExact(head.ptr()) && PyBytes_GET_SIZE(head.ptr()) == 0 &&
                       PyBytes_CheckExact(tail.ptr()) && PyBytes_GET_SIZE(tail.ptr()) <= aes_block &&
                       std::memcmp(PyBytes_AS_STRING(tail.ptr()), data + size - aes_block,
                                   (size_t) PyBytes_GET_SIZE(tail.ptr())) == 0 &&
                       Py_REFCNT(padded.ptr()) == 1;
    if (as_expected) {
        buffers::shrink(padded, size - aes_block + PyBytes_GET_SIZE(tail.ptr()));
        return std::move(padded);
    }
    // Not what the PKCS7 rules give: join the untouched whole blocks with what the unpadder said.
    nb::object front = nb::steal(PyBytes_FromStringAndSize(data, size - aes_block));
    if (!front.is_valid()) throw nb::python_error();
    padded.reset();
    return buffers::concat(buffers::concat(std::move(front), head), tail);
}

}  // namespace

nb::object _encrypt_data(const py::Call& g) {
    nb::handle data = g[0], key = g[1];
    if (!py::truthy(g("CRYPTOGRAPHY_AVAILABLE"))) raise_not_installed(g, "cryptography");

    bool standard_block;
    nb::object padder = pkcs7(g, standard_block).attr("padder")();
    PaddedPieces padded_data = pad(padder, standard_block, data);

    nb::object iv = g("os").attr("urandom")(g("IV_SIZE"));
    nb::object cipher = aes_cbc(g, key, iv);
    nb::object encryptor = cipher.attr("encryptor")();

    nb::object result = encrypt_behind_iv(encryptor, iv, padded_data);
    if (result.is_valid()) return result;

    // The general way: join the pieces, encrypt, and put the IV in front.
    nb::object joined = std::move(padded_data.parts[0]);
    for (int i = 1; i < padded_data.count; ++i) {
        if (PyMemoryView_Check(joined.ptr())) joined = nb::steal(PyBytes_FromObject(joined.ptr()));
        if (!joined.is_valid()) throw nb::python_error();
        nb::object part = std::move(padded_data.parts[i]);
        joined = buffers::concat(std::move(joined), part);
    }
    padded_data = {};
    nb::object ct = encryptor.attr("update")(joined);
    joined.reset();
    ct = buffers::concat(std::move(ct), encryptor.attr("finalize")());
    nb::object payload = nb::steal(PyNumber_Add(iv.ptr(), ct.ptr()));
    if (!payload.is_valid()) throw nb::python_error();
    return payload;
}

nb::object decrypt_payload(const py::Call& g, nb::handle data, nb::handle key) {
    nb::object length = g("len")(data);
    if (py::compare(length, g("IV_SIZE"), Py_LT)) py::raise(g("MTDFormatError"), "Invalid encrypted data length.");

    nb::object iv = item(data, py::slice(nb::none(), g("IV_SIZE")));
    // ct = data[IV_SIZE:]. Slicing plain bytes runs no code of anyone's, so it waits until the
    // decryptor is known: the package's cipher context reads a view of the ciphertext rather than a
    // copy of it, any other decryptor gets the bytes the literal slice gives.
    nb::object ct, ct_start = g("IV_SIZE");
    bool plain_bytes = PyBytes_CheckExact(data.ptr());
    if (!plain_bytes) ct = item(data, py::slice(ct_start, nb::none()));

    nb::object cipher = aes_cbc(g, key, iv);
    nb::object decryptor = cipher.attr("decryptor")();
    nb::object update_into = cipher_update_into(decryptor);
    if (plain_bytes) {
        nb::handle source = data;
        nb::object whole;
        if (update_into.is_valid()) {
            whole = nb::steal(PyMemoryView_FromObject(data.ptr()));
            if (!whole.is_valid()) throw nb::python_error();
            source = whole;
        }
        ct = item(source, py::slice(ct_start, nb::none()));
    }
    try {
        nb::object padded_decrypted_data = decrypt_into(decryptor, update_into, ct);
        if (!padded_decrypted_data.is_valid()) {
            padded_decrypted_data = decryptor.attr("update")(ct);
            ct.reset();
            padded_decrypted_data = buffers::concat(std::move(padded_decrypted_data), decryptor.attr("finalize")());
        }
        ct.reset();
        bool standard_block;
        nb::object unpadder = pkcs7(g, standard_block).attr("unpadder")();
        nb::object decrypted_data = unpad_in_place(unpadder, standard_block, padded_decrypted_data);
        if (decrypted_data.is_valid()) return decrypted_data;
        decrypted_data = unpadder.attr("update")(padded_decrypted_data);
        padded_decrypted_data.reset();
        return buffers::concat(std::move(decrypted_data), unpadder.attr("finalize")());
    } catch (nb::python_error& error) {
        if (!error.matches(g("ValueError"))) throw;
        py::raise_in_handler(error, g("MTDDecryptionError"),
                             "Decryption failed. The key may be incorrect or the data may be corrupt.");
    }
}

nb::object _decrypt_data(const py::Call& g) {
    if (!py::truthy(g("CRYPTOGRAPHY_AVAILABLE"))) raise_not_installed(g, "cryptography");
    return decrypt_payload(g, g[0], g[1]);
}

}  // namespace korva::utils::mtdump
