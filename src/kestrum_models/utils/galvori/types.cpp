// Column type mapping: the declared type text of one column to a core-type value.
//
// The tests are substring, equality and suffix tests of ASCII words on the upper- or
// lower-cased text. For ASCII input, str.upper()/str.lower() change only the ASCII
// letters, so the text is searched in place with the letters folded on the fly: no
// object is created. Any other text goes through the str's own upper()/lower(), whose
// full Unicode mappings may change lengths or produce ASCII letters ("ß".upper() is
// "SS"), and the result is searched as it is.
#include "galvori.hpp"

namespace galvori {

using namespace kestrum;

namespace {

enum class Core { Integer, Number, String, Binary, Boolean, Date, DateTime, Array, Dictionary };

// CoreTypes.<member>.value, with CoreTypes looked up now in the module globals.
Ref core_type_value(Core core) {
    Ref core_types = globals["CoreTypes"_n];
    Obj member;
    switch (core) {
        case Core::Integer: member = "INTEGER"_n; break;
        case Core::Number: member = "NUMBER"_n; break;
        case Core::String: member = "STRING"_n; break;
        case Core::Binary: member = "BINARY"_n; break;
        case Core::Boolean: member = "BOOLEAN"_n; break;
        case Core::Date: member = "DATE"_n; break;
        case Core::DateTime: member = "DATETIME"_n; break;
        case Core::Array: member = "ARRAY"_n; break;
        case Core::Dictionary: member = "DICTIONARY"_n; break;
    }
    return core_types.attr(member).attr("value"_n);
}

enum class Fold { None, Upper, Lower };

// The code points of a str, ASCII letters optionally folded to one case.
template <class Char, Fold F>
class Text {
public:
    Text(const void* data, Py_ssize_t size) noexcept : s_(static_cast<const Char*>(data)), n_(size) {}

    bool contains(std::string_view needle) const noexcept {
        const auto m = static_cast<Py_ssize_t>(needle.size());
        for (Py_ssize_t i = 0; i + m <= n_; ++i)
            if (matches_at(i, needle)) return true;
        return false;
    }
    bool equals(std::string_view needle) const noexcept {
        return n_ == static_cast<Py_ssize_t>(needle.size()) && matches_at(0, needle);
    }
    bool ends_with(std::string_view needle) const noexcept {
        const auto m = static_cast<Py_ssize_t>(needle.size());
        return m <= n_ && matches_at(n_ - m, needle);
    }
    template <std::size_t N>
    bool contains_any(const std::array<std::string_view, N>& group) const noexcept {
        for (std::string_view needle : group)
            if (contains(needle)) return true;
        return false;
    }
    template <std::size_t N>
    bool equals_any(const std::array<std::string_view, N>& group) const noexcept {
        for (std::string_view needle : group)
            if (equals(needle)) return true;
        return false;
    }

private:
    static Py_UCS4 fold(Py_UCS4 c) noexcept {
        if constexpr (F == Fold::Upper) return c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c;
        if constexpr (F == Fold::Lower) return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
        return c;
    }
    bool matches_at(Py_ssize_t i, std::string_view needle) const noexcept {
        for (std::size_t j = 0; j < needle.size(); ++j)
            if (fold(s_[i + static_cast<Py_ssize_t>(j)]) != static_cast<unsigned char>(needle[j])) return false;
        return true;
    }

    const Char* s_;
    Py_ssize_t n_;
};

// Run `classify` over `text` cased by `method` ("upper" or "lower"): in place for
// ASCII, else over the result of text.method().
template <Fold F, class Classify>
Core cased(Obj text, Obj method, Classify classify) {
    PyObject* s = text.ptr();
    if (PyUnicode_IS_ASCII(s)) return classify(Text<Py_UCS1, F>(PyUnicode_DATA(s), PyUnicode_GET_LENGTH(s)));
    Ref converted = text.call_method(method);
    PyObject* c = converted.ptr();
    if (!PyUnicode_Check(c)) raise(PyExc_SystemError, "str case conversion returned a non-str");
    const void* data = PyUnicode_DATA(c);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(c);
    switch (PyUnicode_KIND(c)) {
        case PyUnicode_1BYTE_KIND: return classify(Text<Py_UCS1, Fold::None>(data, n));
        case PyUnicode_2BYTE_KIND: return classify(Text<Py_UCS2, Fold::None>(data, n));
        default: return classify(Text<Py_UCS4, Fold::None>(data, n));
    }
}

// sqlite_type_upper = sqlite_type.upper(), then the first matching step decides.
template <class T>
Core sqlite_core(const T& upper) {
    if (upper.contains("INT")) return Core::Integer;
    if (upper.contains_any(sqlite_text_types)) return Core::String;
    if (upper.contains_any(sqlite_blob_types)) return Core::Binary;
    if (upper.contains_any(sqlite_number_types)) return Core::Number;
    if (upper.contains("DATE") || upper.contains("TIME")) {
        if (upper.contains("TIME") && upper.contains("DATE")) return Core::DateTime;
        if (upper.contains("STAMP")) return Core::DateTime;
        if (upper.contains("DATE")) return Core::Date;
        return Core::DateTime;
    }
    if (upper.contains("BOOL")) return Core::Boolean;
    return Core::String;
}

// postgres_type_lower = postgres_type.lower(), then the first matching step decides.
template <class T>
Core postgres_core(const T& lower) {
    if (lower.equals_any(postgres_integer_types)) return Core::Integer;
    if (lower.equals_any(postgres_number_types)) return Core::Number;
    if (lower.ends_with("[]")) return Core::Array;
    if (lower.contains_any(postgres_text_types)) return Core::String;
    if (lower.contains("bytea")) return Core::Binary;
    if (lower.equals("boolean")) return Core::Boolean;
    if (lower.equals("date")) return Core::Date;
    if (lower.contains_any(postgres_time_types)) return Core::DateTime;
    if (lower.contains_any(postgres_json_types)) return Core::Dictionary;
    return Core::String;
}

}  // namespace

// @staticmethod
// def sqlite_type_to_core_type(sqlite_type: str) -> str
Ref sqlite_type_to_core_type(Obj sqlite_type) {
    return core_type_value(
        cased<Fold::Upper>(sqlite_type, "upper"_n, [](const auto& upper) { return sqlite_core(upper); }));
}

// @staticmethod
// def postgres_type_to_core_type(postgres_type: str) -> str
Ref postgres_type_to_core_type(Obj postgres_type) {
    return core_type_value(
        cased<Fold::Lower>(postgres_type, "lower"_n, [](const auto& lower) { return postgres_core(lower); }));
}

}  // namespace galvori
