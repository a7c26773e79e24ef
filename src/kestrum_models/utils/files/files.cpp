// kestrum_models.utils.files: normalising file data to base64.
//
//   import base64
//   from typing import Any
//
//   def convert_data_to_base64(file_data: Any) -> bytes:
//       if isinstance(file_data, str):
//           file_data = file_data.encode()
//       try:
//           if base64.b64encode(base64.b64decode(file_data, validate=True)).strip() != file_data:
//               file_data = base64.b64encode(file_data).strip()
//       except Exception:
//           file_data = base64.b64encode(file_data).strip()
//       return file_data
//
// While the module's `base64` is the standard module with its own b64encode and
// b64decode, exact `bytes` take a native path with the same results: "strict decoding
// succeeds and re-encoding gives the input back" is exactly "the input is canonical
// base64", which is checked in one pass without decoding, and the encoding is done
// here. Any other input, or a replaced `base64`, goes through the Python calls.
#include <cstring>

#include "kestrum/kestrum.hpp"

using namespace kestrum;

static Globals globals;

// base64.b64encode and base64.b64decode as imported at load, compared by identity.
static PyObject* standard_b64encode = nullptr;
static PyObject* standard_b64decode = nullptr;

static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

static constexpr auto decode_table = [] {
    struct Table {
        signed char value[256];
    } t{};
    for (int i = 0; i < 256; ++i) t.value[i] = -1;
    for (int i = 0; i < 64; ++i) t.value[static_cast<unsigned char>(alphabet[i])] = static_cast<signed char>(i);
    return t;
}();

// True when `s` is what b64encode produces for some bytes: a multiple of four
// characters of the alphabet, at most two '=' at the end, and zero padding bits.
static bool is_canonical_base64(const unsigned char* s, Py_ssize_t n) {
    if (n % 4 != 0) return false;
    if (n == 0) return true;
    Py_ssize_t padding = 0;
    if (s[n - 1] == '=') padding = s[n - 2] == '=' ? 2 : 1;
    const Py_ssize_t data = n - padding;
    for (Py_ssize_t i = 0; i < data; ++i)
        if (decode_table.value[s[i]] < 0) return false;
    if (padding == 2) return (decode_table.value[s[data - 1]] & 0x0F) == 0;
    if (padding == 1) return (decode_table.value[s[data - 1]] & 0x03) == 0;
    return true;
}

static Ref encode_base64(const unsigned char* s, Py_ssize_t n) {
    const Py_ssize_t out_len = (n + 2) / 3 * 4;
    Ref out = Ref::own(PyBytes_FromStringAndSize(nullptr, out_len));
    char* o = PyBytes_AS_STRING(out.ptr());
    Py_ssize_t i = 0;
    for (; i + 3 <= n; i += 3) {
        const unsigned v = (unsigned{s[i]} << 16) | (unsigned{s[i + 1]} << 8) | unsigned{s[i + 2]};
        *o++ = alphabet[v >> 18];
        *o++ = alphabet[(v >> 12) & 63];
        *o++ = alphabet[(v >> 6) & 63];
        *o++ = alphabet[v & 63];
    }
    if (n - i == 1) {
        const unsigned v = unsigned{s[i]} << 16;
        *o++ = alphabet[v >> 18];
        *o++ = alphabet[(v >> 12) & 63];
        *o++ = '=';
        *o++ = '=';
    } else if (n - i == 2) {
        const unsigned v = (unsigned{s[i]} << 16) | (unsigned{s[i + 1]} << 8);
        *o++ = alphabet[v >> 18];
        *o++ = alphabet[(v >> 12) & 63];
        *o++ = alphabet[(v >> 6) & 63];
        *o++ = '=';
    }
    return out;
}

static const unsigned char* bytes_data(Obj b) { return reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(b.ptr())); }

// base64.b64encode(data).strip()
static Ref b64encode_stripped(Obj data) {
    Ref encode = globals["base64"_n].attr("b64encode"_n);
    if (encode.is(standard_b64encode) && PyBytes_CheckExact(data.ptr()))
        return encode_base64(bytes_data(data), PyBytes_GET_SIZE(data.ptr()));
    return encode(data).call_method("strip"_n);
}

static Ref convert_data_to_base64(Obj given) {
    Ref file_data = given.ref();
    if (PyUnicode_Check(file_data.ptr())) file_data = file_data.call_method("encode"_n);
    try {
        Ref encode = globals["base64"_n].attr("b64encode"_n);
        Ref decode = globals["base64"_n].attr("b64decode"_n);
        if (encode.is(standard_b64encode) && decode.is(standard_b64decode) && PyBytes_CheckExact(file_data.ptr())) {
            if (!is_canonical_base64(bytes_data(file_data), PyBytes_GET_SIZE(file_data.ptr())))
                file_data = b64encode_stripped(file_data);
        } else if (encode(decode(file_data, kw<"validate">(True))).call_method("strip"_n).ne(file_data)) {
            file_data = b64encode_stripped(file_data);
        }
    } catch (const Error&) {
        Except handler(PyExc_Exception);
        file_data = b64encode_stripped(file_data);
    }
    return file_data;
}

static constexpr const char* convert_data_to_base64_doc = R"(
    Converts the given file data to a base64-encoded bytes object.

    This function takes any file data, converts it to bytes if it is a string, and then encodes it in base64 format.
    If the file data is already base64-encoded, it ensures the encoding is valid.

    Args:
        file_data (Any): The file data to be converted. It can be a string or bytes.

    Returns:
        bytes: The base64-encoded bytes object.
    )";

KESTRUM_MODULE(files, "kestrum_models.utils.files", nullptr, globals) {
    m.import("base64");
    m.from_import("typing", {"Any"});
    Ref base64 = globals["base64"_n];
    standard_b64encode = base64.attr("b64encode"_n).release();
    standard_b64decode = base64.attr("b64decode"_n).release();

    m.def<convert_data_to_base64>({
        "convert_data_to_base64",
        {arg("file_data", "Any")},
        "bytes",
        convert_data_to_base64_doc,
    });
}
