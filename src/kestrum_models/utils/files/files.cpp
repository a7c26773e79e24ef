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
// While the module's `base64` is the standard module, exact `bytes` take a native
// path with the same results: "strict decoding succeeds and re-encoding gives the
// input back" is exactly "the input is canonical base64", which is checked in one pass
// without decoding, and the encoding is done here. Any other input, or a `base64`
// whose behaviour may differ, goes through the Python calls.
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <vector>

#include "kestrum/kestrum.hpp"

using namespace kestrum;

static Globals globals;

// ---- Whether base64 is the standard module ------------------------------------------
//
// On exact bytes, base64.b64encode(data) and base64.b64decode(data, validate=True) read
// their own code and defaults; from base64's globals binascii, _bytes_from_decode_data
// and bytes_types (isinstance and str must not be shadowed there); binascii.b2a_base64
// and binascii.a2b_base64; and the builtins isinstance and str. At load, all of these
// are checked to be the standard ones; at a call, to be unchanged: the functions are
// compared, and the three dicts are watched, so their entries are read again only
// after one of them changed.

namespace {

struct Entry {
    Ref dict;
    Obj name;   // interned, immortal
    Ref value;  // empty: the name must be absent
};

struct StandardFunction {
    Ref function, code, defaults, kwdefaults;
};

struct StandardBase64 {
    Ref module, binascii;  // their classes must stay `module`
    std::vector<StandardFunction> functions;
    std::vector<Entry> entries;
    bool watched = false;
    std::uint64_t checked = 0;  // the generation at which the entries were last found unchanged
};

StandardBase64* standard = nullptr;  // null: base64 was not the standard module at load
std::uint64_t generation = 1;        // renewed on every change of a watched dict

int on_dict_changed(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
    ++generation;
    return 0;
}

// Whether `f` is the function `name` of the C module whose dict is `dict`.
bool is_module_function(Obj f, Obj dict, const char* name) {
    if (!f || !PyCFunction_Check(f.ptr())) return false;
    PyObject* self = PyCFunction_GET_SELF(f.ptr());
    return self && PyModule_Check(self) && PyModule_GetDict(self) == dict.ptr() &&
           std::strcmp(reinterpret_cast<PyCFunctionObject*>(f.ptr())->m_ml->ml_name, name) == 0;
}

// Whether `defaults` is the tuple of exactly `expected`.
bool defaults_are(PyObject* defaults, std::initializer_list<PyObject*> expected) {
    if (expected.size() == 0) return defaults == nullptr;
    if (!defaults || PyTuple_GET_SIZE(defaults) != static_cast<Py_ssize_t>(expected.size())) return false;
    Py_ssize_t i = 0;
    for (PyObject* value : expected)
        if (PyTuple_GET_ITEM(defaults, i++) != value) return false;
    return true;
}

// What makes `base64` the standard module, or null when it is not.
std::unique_ptr<StandardBase64> standard_of(Obj base64) {
    if (!PyModule_CheckExact(base64.ptr())) return nullptr;
    auto s = std::make_unique<StandardBase64>();
    s->module = base64.ref();
    Ref dict = Ref::borrow(PyModule_GetDict(base64.ptr()));
    Ref file = Ref::borrow(py::dict_get(dict, "__file__"_n));
    auto entry = [&](Obj in, Obj name) {
        Ref value = Ref::borrow(py::dict_get(in, name));
        s->entries.push_back({in.ref(), name, value.ref()});
        return value;
    };

    // The functions, defined by base64's own source, with their standard defaults.
    struct Expected {
        Obj name;
        std::initializer_list<PyObject*> defaults;
    };
    const Expected functions[] = {{"b64encode"_n, {Py_None}}, {"b64decode"_n, {Py_None, Py_False}},
                                  {"_bytes_from_decode_data"_n, {}}};
    Ref builtins;
    for (const Expected& expected : functions) {
        Ref f = entry(dict, expected.name);
        if (!f || !PyFunction_Check(f.ptr()) || PyFunction_GET_GLOBALS(f.ptr()) != dict.ptr()) return nullptr;
        auto* code = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(f.ptr()));
        if (!file || !PyUnicode_Check(file.ptr()) || PyUnicode_Compare(code->co_filename, file.ptr()) != 0) {
            if (PyErr_Occurred()) raise();
            return nullptr;
        }
        if (!defaults_are(PyFunction_GET_DEFAULTS(f.ptr()), expected.defaults) || PyFunction_GET_KW_DEFAULTS(f.ptr()))
            return nullptr;
        builtins = Ref::borrow(reinterpret_cast<PyFunctionObject*>(f.ptr())->func_builtins);
        s->functions.push_back({f.ref(), Ref::borrow(PyFunction_GET_CODE(f.ptr())), Ref::borrow(PyFunction_GET_DEFAULTS(f.ptr())),
                                Ref()});
    }

    // binascii and its two C functions.
    Ref binascii = entry(dict, "binascii"_n);
    if (!binascii || !PyModule_CheckExact(binascii.ptr())) return nullptr;
    s->binascii = binascii.ref();
    Ref binascii_dict = Ref::borrow(PyModule_GetDict(binascii.ptr()));
    if (!is_module_function(entry(binascii_dict, "b2a_base64"_n), binascii_dict, "b2a_base64") ||
        !is_module_function(entry(binascii_dict, "a2b_base64"_n), binascii_dict, "a2b_base64"))
        return nullptr;

    // bytes_types, and isinstance and str from builtins.
    Ref types = entry(dict, "bytes_types"_n);
    if (!types || !PyTuple_CheckExact(types.ptr()) || PyTuple_GET_SIZE(types.ptr()) != 2 ||
        PyTuple_GET_ITEM(types.ptr(), 0) != reinterpret_cast<PyObject*>(&PyBytes_Type) ||
        PyTuple_GET_ITEM(types.ptr(), 1) != reinterpret_cast<PyObject*>(&PyByteArray_Type))
        return nullptr;
    if (entry(dict, "isinstance"_n) || entry(dict, "str"_n)) return nullptr;
    if (!is_module_function(entry(builtins, "isinstance"_n), builtins, "isinstance") ||
        !entry(builtins, "str"_n).is(reinterpret_cast<PyObject*>(&PyUnicode_Type)))
        return nullptr;

    // Watch the three dicts (without a watcher left, every call reads the entries).
    const int watcher = add_dict_watcher(on_dict_changed);
    if (watcher < 0) return s;
    for (Obj watched : {Obj(dict), Obj(binascii_dict), Obj(builtins)}) {
        if (PyDict_Watch(watcher, watched.ptr()) < 0) {
            PyObject* error = PyErr_GetRaisedException();
            PyDict_ClearWatcher(watcher);
            PyErr_SetRaisedException(error);
            raise();
        }
    }
    s->watched = true;
    return s;
}

// Whether `base64` is the standard module, as it was at load.
bool is_standard(Obj base64) {
    StandardBase64* s = standard;
    if (!s || !base64.is(s->module) || !PyModule_CheckExact(base64.ptr()) || !PyModule_CheckExact(s->binascii.ptr()))
        return false;
    for (const StandardFunction& f : s->functions) {
        PyObject* function = f.function.ptr();
        if (PyFunction_GET_CODE(function) != f.code.ptr() || PyFunction_GET_DEFAULTS(function) != f.defaults.ptr() ||
            PyFunction_GET_KW_DEFAULTS(function) != f.kwdefaults.ptr())
            return false;
    }
    const std::uint64_t now = generation;
    if (s->watched && s->checked == now) return true;
    for (const Entry& e : s->entries)
        if (!py::dict_get(e.dict, e.name).is(e.value)) return false;
    s->checked = now;
    return true;
}

}  // namespace

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
    Ref base64 = globals["base64"_n];
    if (PyBytes_CheckExact(data.ptr()) && is_standard(base64))
        return encode_base64(bytes_data(data), PyBytes_GET_SIZE(data.ptr()));
    return base64.attr("b64encode"_n)(data).call_method("strip"_n);
}

static Ref convert_data_to_base64(Obj given) {
    Ref file_data = given.ref();
    if (PyUnicode_Check(file_data.ptr())) file_data = file_data.call_method("encode"_n);
    try {
        Ref base64 = globals["base64"_n];
        if (PyBytes_CheckExact(file_data.ptr()) && is_standard(base64)) {
            if (!is_canonical_base64(bytes_data(file_data), PyBytes_GET_SIZE(file_data.ptr())))
                file_data = encode_base64(bytes_data(file_data), PyBytes_GET_SIZE(file_data.ptr()));
        } else {
            Ref encode = base64.attr("b64encode"_n);
            Ref decode = globals["base64"_n].attr("b64decode"_n);
            if (encode(decode(file_data, kw<"validate">(True))).call_method("strip"_n).ne(file_data))
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
    m.def<convert_data_to_base64>({
        "convert_data_to_base64",
        {arg("file_data", "Any")},
        "bytes",
        convert_data_to_base64_doc,
    });
    // Last: nothing fails once the dict watcher is taken.
    standard = standard_of(globals["base64"_n]).release();
}
