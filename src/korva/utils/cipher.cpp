// The AES-256-CBC layer of MTD payloads: a random IV in front of the ciphertext of the PKCS7-padded
// data. decrypt_payload is the decryption both container modules run.
#include "korva/utils/buffers.hpp"
#include "korva/utils/mtdump.hpp"

#include <cstring>
#include <stdexcept>

namespace korva::utils::mtdump {

using namespace nb::literals;

namespace {

// update_into needs room for the input plus less than one block beyond what it writes.
constexpr Py_ssize_t update_into_slack = 32;

// padding.PKCS7(algorithms.AES.block_size)
nb::object pkcs7(const py::Call& g) {
    nb::object pkcs7_type = g("padding").attr("PKCS7");
    return pkcs7_type(g("algorithms").attr("AES").attr("block_size"));
}

// Cipher(algorithms.AES(key), modes.CBC(iv), backend=default_backend()), evaluated in that order.
nb::object aes_cbc(const py::Call& g, nb::handle key, nb::handle iv) {
    nb::object cipher_type = g("Cipher");
    nb::object algorithm = g("algorithms").attr("AES")(key);
    nb::object mode = g("modes").attr("CBC")(iv);
    nb::object backend = g("default_backend")();
    return cipher_type(algorithm, mode, "backend"_a = backend);
}

nb::object slice(nb::handle start, nb::handle stop) {
    nb::object result = nb::steal(PySlice_New(start.ptr(), stop.ptr(), nullptr));
    if (!result.is_valid()) throw nb::python_error();
    return result;
}

nb::object item(nb::handle container, nb::handle key) {
    nb::object result = nb::steal(PyObject_GetItem(container.ptr(), key.ptr()));
    if (!result.is_valid()) throw nb::python_error();
    return result;
}

// `iv + encryptor.update(head + tail) + encryptor.finalize()` written straight into one result:
// the cipher fills a preallocated bytes object behind the IV, so neither the padded plaintext nor
// the ciphertext is copied again. Returns an invalid object when the pieces are not plain bytes
// or the encryptor has no update_into, and the caller takes the general way.
nb::object encrypt_behind_iv(nb::handle encryptor, nb::handle iv, nb::handle head, nb::handle tail) {
    if (!PyBytes_CheckExact(iv.ptr()) || !PyBytes_CheckExact(head.ptr()) || !PyBytes_CheckExact(tail.ptr()))
        return {};
    nb::object update_into = nb::getattr(encryptor, "update_into", nb::none());
    if (update_into.is_none()) return {};

    Py_ssize_t iv_size = PyBytes_GET_SIZE(iv.ptr());
    Py_ssize_t size = iv_size + PyBytes_GET_SIZE(head.ptr()) + PyBytes_GET_SIZE(tail.ptr());
    Py_ssize_t capacity = size + update_into_slack;
    nb::object result = buffers::allocate(capacity);
    std::memcpy(PyBytes_AS_STRING(result.ptr()), PyBytes_AS_STRING(iv.ptr()), (size_t) iv_size);
    Py_ssize_t written = iv_size;
    for (nb::handle piece : {head, tail}) {
        nb::object count;
        {
            buffers::Window window(result, written, capacity - written);
            count = update_into(piece, window.view());
        }
        Py_ssize_t n = PyLong_AsSsize_t(count.ptr());
        if (n == -1 && PyErr_Occurred()) throw nb::python_error();
        if (n < 0 || n > capacity - written) throw std::length_error("update_into reported an impossible count");
        written += n;
    }
    nb::object last = encryptor.attr("finalize")();
    if (!PyBytes_CheckExact(last.ptr())) throw std::logic_error("finalize returned no bytes");
    Py_ssize_t last_size = PyBytes_GET_SIZE(last.ptr());
    if (last_size > capacity - written) {
        buffers::shrink(result, written);
        return buffers::concat(std::move(result), last);
    }
    std::memcpy(PyBytes_AS_STRING(result.ptr()) + written, PyBytes_AS_STRING(last.ptr()), (size_t) last_size);
    buffers::shrink(result, written + last_size);
    return result;
}

}  // namespace

nb::object _encrypt_data(const py::Call& g) {
    nb::handle data = g[0], key = g[1];
    if (!py::truthy(g("CRYPTOGRAPHY_AVAILABLE"))) raise_not_installed(g, "cryptography");

    nb::object padder = pkcs7(g).attr("padder")();
    // padded_data = padder.update(data) + padder.finalize(): kept as its two pieces, which the
    // encryptor consumes one after the other (the same cipher stream as the joined bytes).
    nb::object head = padder.attr("update")(data);
    nb::object tail = padder.attr("finalize")();

    nb::object iv = g("os").attr("urandom")(g("IV_SIZE"));
    nb::object cipher = aes_cbc(g, key, iv);
    nb::object encryptor = cipher.attr("encryptor")();

    nb::object result = encrypt_behind_iv(encryptor, iv, head, tail);
    if (result.is_valid()) return result;

    nb::object padded_data = buffers::concat(std::move(head), tail);
    nb::object ct = encryptor.attr("update")(padded_data);
    ct = buffers::concat(std::move(ct), encryptor.attr("finalize")());
    nb::object joined = nb::steal(PyNumber_Add(iv.ptr(), ct.ptr()));
    if (!joined.is_valid()) throw nb::python_error();
    return joined;
}

nb::object decrypt_payload(const py::Call& g, nb::handle data, nb::handle key) {
    nb::object length = g("len")(data);
    int too_short = PyObject_RichCompareBool(length.ptr(), g("IV_SIZE").ptr(), Py_LT);
    if (too_short < 0) throw nb::python_error();
    if (too_short) py::raise(g("MTDFormatError"), "Invalid encrypted data length.");

    nb::object iv = item(data, slice(Py_None, g("IV_SIZE")));
    // ct = data[IV_SIZE:]: for bytes, a view of the ciphertext rather than a copy of it.
    nb::object ct;
    if (PyBytes_CheckExact(data.ptr())) {
        nb::object whole = nb::steal(PyMemoryView_FromObject(data.ptr()));
        if (!whole.is_valid()) throw nb::python_error();
        ct = item(whole, slice(g("IV_SIZE"), Py_None));
    } else {
        ct = item(data, slice(g("IV_SIZE"), Py_None));
    }

    nb::object cipher = aes_cbc(g, key, iv);
    nb::object decryptor = cipher.attr("decryptor")();
    try {
        nb::object padded_decrypted_data = decryptor.attr("update")(ct);
        ct.reset();
        padded_decrypted_data = buffers::concat(std::move(padded_decrypted_data), decryptor.attr("finalize")());
        nb::object unpadder = pkcs7(g).attr("unpadder")();
        nb::object decrypted_data = unpadder.attr("update")(padded_decrypted_data);
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
