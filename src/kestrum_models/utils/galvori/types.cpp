// Column type mapping: the declared type text of one column to a core-type value.
//
// The tests are substring, equality and suffix tests of ASCII words on the upper- or
// lower-cased text. For ASCII input, str.upper()/str.lower() change only the ASCII
// letters, so the text is cased here without creating an object. Any other text goes
// through the str's own upper()/lower(), whose full Unicode mappings may change
// lengths or produce ASCII letters ("ß".upper() is "SS"), and the result is searched
// as it is.
#include <string>

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

// The tests every text form below offers, on top of contains/equals/ends_with.
template <class Self>
struct TextTests {
    template <std::size_t N>
    bool contains_any(const std::array<std::string_view, N>& group) const noexcept {
        for (std::string_view needle : group)
            if (self().contains(needle)) return true;
        return false;
    }
    template <std::size_t N>
    bool equals_any(const std::array<std::string_view, N>& group) const noexcept {
        for (std::string_view needle : group)
            if (self().equals(needle)) return true;
        return false;
    }

private:
    const Self& self() const noexcept { return static_cast<const Self&>(*this); }
};

// One byte per code point (ASCII, or Latin-1 where bytes >= 0x80 never match an
// ASCII word): plain byte search.
class ByteText : public TextTests<ByteText> {
public:
    explicit ByteText(std::string_view s) noexcept : s_(s) {}
    bool contains(std::string_view needle) const noexcept { return s_.find(needle) != std::string_view::npos; }
    bool equals(std::string_view needle) const noexcept { return s_ == needle; }
    bool ends_with(std::string_view needle) const noexcept { return s_.ends_with(needle); }

private:
    std::string_view s_;
};

// Two or four bytes per code point.
template <class Char>
class WideText : public TextTests<WideText<Char>> {
public:
    WideText(const void* data, Py_ssize_t size) noexcept : s_(static_cast<const Char*>(data)), n_(size) {}
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

private:
    bool matches_at(Py_ssize_t i, std::string_view needle) const noexcept {
        for (std::size_t j = 0; j < needle.size(); ++j)
            if (s_[i + static_cast<Py_ssize_t>(j)] != static_cast<unsigned char>(needle[j])) return false;
        return true;
    }

    const Char* s_;
    Py_ssize_t n_;
};

enum class Case { Upper, Lower };

// Run `classify` over text.upper() or text.lower(). ASCII text is cased here into a
// buffer (on the stack for the usual short type names); any other text goes through
// the str method, whose result is searched as it is.
template <Case C, class Classify>
Core cased(Obj text, Classify classify) {
    PyObject* s = text.ptr();
    if (PyUnicode_IS_ASCII(s)) {
        const auto* data = static_cast<const char*>(PyUnicode_DATA(s));
        const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(s));
        char small[128];
        std::string large;
        char* out = small;
        if (n > sizeof small) {
            large.resize(n);
            out = large.data();
        }
        for (std::size_t i = 0; i < n; ++i) {
            const char c = data[i];
            if constexpr (C == Case::Upper) out[i] = c >= 'a' && c <= 'z' ? static_cast<char>(c - ('a' - 'A')) : c;
            else out[i] = c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
        }
        return classify(ByteText(std::string_view(out, n)));
    }
    Ref converted = C == Case::Upper ? text.call_method("upper"_n) : text.call_method("lower"_n);
    PyObject* c = converted.ptr();
    if (!PyUnicode_Check(c)) raise(PyExc_SystemError, "str case conversion returned a non-str");
    const void* data = PyUnicode_DATA(c);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(c);
    switch (PyUnicode_KIND(c)) {
        case PyUnicode_1BYTE_KIND:
            return classify(ByteText(std::string_view(static_cast<const char*>(data), static_cast<std::size_t>(n))));
        case PyUnicode_2BYTE_KIND: return classify(WideText<Py_UCS2>(data, n));
        default: return classify(WideText<Py_UCS4>(data, n));
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
        cased<Case::Upper>(sqlite_type, [](const auto& upper) { return sqlite_core(upper); }));
}

// @staticmethod
// def postgres_type_to_core_type(postgres_type: str) -> str
Ref postgres_type_to_core_type(Obj postgres_type) {
    return core_type_value(
        cased<Case::Lower>(postgres_type, [](const auto& lower) { return postgres_core(lower); }));
}

}  // namespace galvori
