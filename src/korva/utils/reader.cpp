// Reading an MTD container, shared by korva.utils.mtdump.load_dump, korva.utils.mtd_loader and
// korva.utils.safeload:
// open the file or fetch the URL, read the five fields inside `with f:`, then undo the payload
// stages with the running module's own helpers, constants and exception classes.
#include "korva/utils/mtdump.hpp"

#include <chrono>

namespace korva::utils::mtdump {

using namespace nb::literals;

namespace {

// Reads of at most this size are made as asked; a larger one is first held against the stream.
constexpr long long unchecked_read = 1 << 16;
// Piece size for streams whose end cannot be known in advance.
constexpr long long stream_piece = 1 << 24;

// How many bytes a seekable stream holds after its position (it is left where it was), or an
// invalid object for a stream that cannot tell.
nb::object bytes_remaining(nb::handle f) {
    nb::object seekable = nb::getattr(f, "seekable", nb::none());
    if (seekable.is_none() || !py::truthy(seekable())) return {};
    nb::object position, end;
    try {
        position = f.attr("tell")();
        end = f.attr("seek")(0, 2);
        f.attr("seek")(position);
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_OSError)) throw;
        if (position.is_valid()) f.attr("seek")(position);
        return {};
    }
    nb::object remaining = end - position;
    if (py::compare(remaining, nb::int_(0), Py_LT)) remaining = nb::int_(0);
    return remaining;
}

// `f.read(count)` for a count taken from the container itself. The count is never larger than
// what the stream still holds, so a damaged length field cannot make the reader reserve memory
// for its claim: the read returns the same bytes and a short field fails in the later steps.
nb::object read_field(nb::handle f, nb::handle count) {
    if (!PyLong_CheckExact(count.ptr())) return f.attr("read")(count);
    int overflow = 0;
    long long asked = PyLong_AsLongLongAndOverflow(count.ptr(), &overflow);
    if (asked == -1 && PyErr_Occurred()) throw nb::python_error();
    if (!overflow && asked <= unchecked_read) return f.attr("read")(count);

    nb::object remaining = bytes_remaining(f);
    if (remaining.is_valid())
        return f.attr("read")(py::compare(count, remaining, Py_GT) ? remaining : nb::borrow(count));

    // A pipe or the like: bounded pieces until the count is reached or the stream runs dry.
    nb::object left = nb::borrow(count);
    nb::list pieces;
    nb::object piece_limit = nb::int_(stream_piece);
    while (py::compare(left, nb::int_(0), Py_GT)) {
        nb::object piece = f.attr("read")(py::compare(left, piece_limit, Py_LT) ? left : piece_limit);
        if (!PyBytes_CheckExact(piece.ptr())) {
            // Not plain bytes (None from a non-blocking stream, say): a single read's answer.
            if (pieces.size() == 0) return piece;
            pieces.append(piece);
            break;
        }
        if (PyBytes_GET_SIZE(piece.ptr()) == 0) break;
        left = left - nb::int_(PyBytes_GET_SIZE(piece.ptr()));
        pieces.append(piece);
    }
    if (pieces.size() == 0) return nb::bytes("", 0);
    if (pieces.size() == 1) return pieces[0];
    return nb::bytes("", 0).attr("join")(pieces);
}

// `struct.unpack(fmt, f.read(struct.calcsize(fmt)))[0]` for a module constant `fmt`.
nb::object read_length(const py::Call& g, nb::handle f, const char* format_name) {
    nb::object size = g("struct").attr("calcsize")(g(format_name));
    nb::object length_bytes = f.attr("read")(size);
    nb::object unpack = g("struct").attr("unpack");
    return unpack(g(format_name), length_bytes)[0];
}

[[noreturn]] void refuse_body(const py::Call& g, long long max_bytes) {
    nb::object message = py::f_string("the response body is longer than max_bytes=", nb::int_(max_bytes));
    nb::object type = g("MTDUntrustedError");
    nb::object error = type(message);
    nb::setattr(error, "refused", nb::make_tuple(message));
    PyErr_SetObject(type.ptr(), error.ptr());
    throw nb::python_error();
}

// The body of a response under `limits`: a declared length past the bound is refused before reading,
// and the body is read in pieces of whatever has arrived, each read waiting at most what is left
// of the time (a server that trickles bytes cannot hold the reader past it).
nb::object bounded_body(const py::Call& g, nb::handle response, const UrlLimits& limits) {
    nb::object declared = response.attr("headers").attr("get")("Content-Length");
    if (PyUnicode_Check(declared.ptr())) {
        nb::object digits = declared.attr("strip")();
        if (py::truthy(digits.attr("isdigit")()) && py::compare(g("int")(digits), nb::int_(limits.max_bytes), Py_GT))
            refuse_body(g, limits.max_bytes);
    }
    bool timed = !limits.timeout.is_none();
    double seconds = timed ? nb::cast<double>(g("float")(limits.timeout)) : 0.0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    // the socket under the response, when it is where http.client keeps it
    nb::object raw = nb::getattr(nb::getattr(response, "fp", nb::none()), "raw", nb::none());
    nb::object socket = nb::getattr(raw, "_sock", nb::none());
    nb::object settimeout = nb::getattr(socket, "settimeout", nb::none());
    nb::object read1 = response.attr("read1");
    nb::list pieces;
    long long total = 0;
    for (;;) {
        if (timed) {
            double left = std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
            if (left <= 0)
                py::raise(g("TimeoutError"), py::f_string("the response body did not arrive within ", limits.timeout, " s"));
            // (a response that has read its whole declared length has closed its socket already)
            if (!settimeout.is_none() && !py::truthy(response.attr("isclosed")())) settimeout(left);
        }
        nb::object piece = read1(1 << 16);
        if (!PyBytes_Check(piece.ptr())) py::raise(g("TypeError"), "the response read something other than bytes");
        if (PyBytes_GET_SIZE(piece.ptr()) == 0) break;
        total += PyBytes_GET_SIZE(piece.ptr());
        if (total > limits.max_bytes) refuse_body(g, limits.max_bytes);
        pieces.append(piece);
    }
    return nb::bytes("", 0).attr("join")(pieces);
}

// The stream to read from: the whole body of an http(s) URL in memory, or the local file.
nb::object open_stream(const py::Call& g, nb::handle path, nb::handle storage_options, const UrlLimits* limits) {
    bool is_url = false;
    if (py::truthy(g("isinstance")(path, g("str")))) {
        is_url = py::truthy(path.attr("startswith")("http://")) || py::truthy(path.attr("startswith")("https://"));
    }
    if (!is_url) return g("open")(path, "rb");

    nb::object request_type = g("Request");
    nb::object headers = py::truthy(storage_options) ? nb::borrow(storage_options) : nb::object(nb::dict());
    nb::object req = request_type(path, "headers"_a = headers);
    nb::object f;
    nb::object response = limits && !limits->timeout.is_none() ? g("urlopen")(req, "timeout"_a = limits->timeout)
                                                               : g("urlopen")(req);
    py::with(response, [&](nb::handle response) {
        nb::object bytes_io = g("io").attr("BytesIO");
        f = bytes_io(limits ? bounded_body(g, response, *limits) : nb::object(response.attr("read")()));
    });
    return f;
}

}  // namespace

ReadContainer read_container(const py::Call& g, nb::handle path, nb::handle passphrase,
                             nb::handle storage_options, const UrlLimits* limits) {
    nb::object f = open_stream(g, path, storage_options, limits);

    nb::object info, encrypted_data;
    py::with(f, [&](nb::handle) {
        nb::object magic = f.attr("read")(g("len")(g("MAGIC_NUMBER")));
        if (py::compare(magic, g("MAGIC_NUMBER"), Py_NE)) py::raise(g("MTDFormatError"), "Not a valid .mtd file.");
        nb::object info_len = read_length(g, f, "INFO_LEN_FORMAT");
        nb::object info_json_bytes = read_field(f, info_len);
        info = g("json").attr("loads")(info_json_bytes.attr("decode")("utf-8"));
        nb::object payload_len = read_length(g, f, "PAYLOAD_LEN_FORMAT");
        encrypted_data = read_field(f, payload_len);
    });
    f.reset();

    nb::object dump_info = info["dump"];
    nb::object is_encrypted = dump_info["encrypted"];
    nb::object key = g("_prepare_key")(passphrase);
    if (py::truthy(is_encrypted) && !py::truthy(key))
        py::raise(g("MTDDecryptionError"), "File is encrypted, but no passphrase was provided.");

    if (!py::truthy(is_encrypted)) return {std::move(encrypted_data), std::move(info)};
    nb::object compressed_data = g("_decrypt_data")(encrypted_data, key);
    return {std::move(compressed_data), std::move(info)};
}

void raise_checksum_mismatch(const py::Call& g, nb::handle expected, nb::handle actual) {
    nb::object type = g("MTDChecksumError");
    nb::object message = py::f_string("Checksum mismatch: expected ", expected, ", got ");
    message = message + py::f_string("", actual);
    py::raise(type, message);
}

nb::object verify_payload(const py::Call& g, ReadContainer container, nb::handle checksum) {
    nb::object dump_info = container.info["dump"];
    nb::object compression = dump_info["compression"];
    nb::object serialized_data = g("_decompress_data")(container.compressed, compression);
    container.compressed.reset();  // the payload is not needed once decompressed

    nb::object checksum_to_verify = py::truthy(checksum) ? nb::borrow(checksum) : nb::object(dump_info["checksum"]);
    nb::object actual_checksum = g("_calculate_checksum")(serialized_data);
    if (py::compare(actual_checksum, checksum_to_verify, Py_NE))
        raise_checksum_mismatch(g, checksum_to_verify, actual_checksum);
    return serialized_data;
}

ReadPayload read_payload(const py::Call& g, nb::handle path, nb::handle passphrase, nb::handle checksum,
                         nb::handle storage_options) {
    ReadContainer container = read_container(g, path, passphrase, storage_options);
    nb::object info = container.info;
    nb::object serialized = verify_payload(g, std::move(container), checksum);
    return {std::move(serialized), std::move(info)};
}

LoadedDump read_dump(const py::Call& g, nb::handle path, nb::handle passphrase, nb::handle checksum,
                     nb::handle storage_options) {
    ReadPayload read = read_payload(g, path, passphrase, checksum, storage_options);
    nb::object serializer = read.info["dump"]["serializer"];
    nb::object obj = g("_deserialize_obj")(std::move(read.serialized), serializer);
    return {std::move(obj), std::move(read.info)};
}

}  // namespace korva::utils::mtdump
