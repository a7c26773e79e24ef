// The paginator and the query specifier: the two parts every query set builds and copies,
// several times over for one get(). Native types of the framework, exported as
// kestrum_utils.query.data_models.paginator.NumberPaginator and
// kestrum_utils.query.data_models.query_specifier.QuerySpecifier.
//
//   class NumberPaginator:
//       __slots__ = ("limit", "offset")
//       __hash__ = None                                   # mutable
//       def __init__(self, *, limit=None, offset=None):
//           self.limit = limit
//           self.offset = offset
//       def model_copy(self, *, update=None, deep=False):
//           new = object.__new__(type(self))
//           if deep:
//               new.limit, new.offset = copy.deepcopy((self.limit, self.offset))
//           else:
//               new.limit, new.offset = self.limit, self.offset
//           if update:
//               for name, value in update.items():
//                   setattr(new, name, value)
//           return new
//       def __copy__(self):
//           return self.model_copy()
//       def __deepcopy__(self, memo=None):
//           return self.model_copy(deep=True)
//       def __eq__(self, other):
//           if type(other) is not type(self):
//               return NotImplemented
//           return (self.limit, self.offset) == (other.limit, other.offset)
//       def __repr__(self):
//           return f"{type(self).__name__}(limit={self.limit!r}, offset={self.offset!r})"
//
//   class QuerySpecifier:                                 # the same, with these differences
//       __slots__ = ("distinct", "only")
//       def __init__(self, *, only=None, distinct=None):
//           self.only = [] if only is None else only
//           self.distinct = [] if distinct is None else distinct
//       # model_copy(deep=True) copies each of only and distinct on its own: a list of
//       # exact str with list.copy(), anything else with copy.deepcopy.
//
// Values are stored as given (the executors check them). Both values are read before the
// copy is allocated, so no code ever sees a copy half-made; a copy of a subclass instance
// is made as object.__new__ makes it and filled through setattr.
#include <utility>

#include "records.hpp"

namespace records {

using namespace kestrum;

namespace {

struct PartsObject {
    PyObject_HEAD
    PyObject* values[2];  // null: not set (reading it raises AttributeError, as an unset slot does)
};

PartsObject* as_parts(PyObject* self) { return reinterpret_cast<PartsObject*>(self); }

bool is_atomic(Obj value) {
    // Values copy.deepcopy returns as they are: a tuple of them is returned as it is too.
    PyTypeObject* type = Py_TYPE(value.ptr());
    return value.is_none() || type == &PyLong_Type || type == &PyBool_Type || type == &PyUnicode_Type ||
           type == &PyFloat_Type;
}

Ref deepcopy(Obj value) { return py::import("copy").call_method("deepcopy"_n, value); }

struct Paginator {
    static constexpr const char* type_name = "NumberPaginator";
    static constexpr const char* init_format = "|$OO:NumberPaginator";
    static constexpr const char* keys[3] = {"limit", "offset", nullptr};
    static constexpr const char* copy_doc =
        "An independent copy (values copied too with ``deep``), with the fields of ``update`` replaced.";
    static Obj name(int i) { return i == 0 ? Obj("limit"_n) : Obj("offset"_n); }
    static Ref initial(Obj given) { return given.ref(); }
    // new.limit, new.offset = copy.deepcopy((self.limit, self.offset))
    static void deep(Ref (&values)[2]) {
        if (is_atomic(values[0]) && is_atomic(values[1])) return;
        Ref pair = py::tuple(values[0], values[1]);
        Ref copied = deepcopy(pair);
        Ref items = Ref::own(PySequence_Fast(copied.ptr(), "cannot unpack non-iterable object"));
        if (PySequence_Fast_GET_SIZE(items.ptr()) != 2)
            raise_format(PyExc_ValueError, "expected 2 values to unpack, got %zd", PySequence_Fast_GET_SIZE(items.ptr()));
        Ref first = Ref::borrow(PySequence_Fast_GET_ITEM(items.ptr(), 0));
        Ref second = Ref::borrow(PySequence_Fast_GET_ITEM(items.ptr(), 1));
        values[0] = std::move(first);
        values[1] = std::move(second);
    }
};

// A list of field names: list.copy() is its deep copy.
bool names_only(Obj value) {
    if (!PyList_CheckExact(value.ptr())) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value.ptr()); ++i)
        if (!PyUnicode_CheckExact(PyList_GET_ITEM(value.ptr(), i))) return false;
    return true;
}

struct Specifier {
    static constexpr const char* type_name = "QuerySpecifier";
    static constexpr const char* init_format = "|$OO:QuerySpecifier";
    static constexpr const char* keys[3] = {"only", "distinct", nullptr};
    static constexpr const char* copy_doc =
        "A copy sharing the lists, or with ``deep`` one sharing no list; the fields of ``update`` replaced.";
    static Obj name(int i) { return i == 0 ? Obj("only"_n) : Obj("distinct"_n); }
    // [] if given is None else given
    static Ref initial(Obj given) { return given.is_none() ? py::list() : given.ref(); }
    static void deep(Ref (&values)[2]) {
        for (Ref& value : values) {
            Ref copied = names_only(value) ? Ref::own(PyList_GetSlice(value.ptr(), 0, PyList_GET_SIZE(value.ptr())))
                                           : deepcopy(value);
            value = std::move(copied);
        }
    }
};

template <class Kind>
PyTypeObject& type_of();

template <class Kind>
bool exact(Obj self) {
    return Py_IS_TYPE(self.ptr(), &type_of<Kind>());
}

// self.<name i>
template <class Kind>
Ref get(Obj self, int i) {
    PyObject* value = as_parts(self.ptr())->values[i];
    if (value && exact<Kind>(self)) return Ref::borrow(value);
    return self.attr(Kind::name(i));
}

// obj.<name i> = value, on an object that holds its values itself or one of a subclass.
template <class Kind>
void set(Obj obj, int i, Ref value) {
    if (!exact<Kind>(obj)) return obj.setattr(Kind::name(i), value);
    Ref old = Ref::steal(std::exchange(as_parts(obj.ptr())->values[i], value.release()));
}

// object.__new__(type): the values not set. Runs no code.
Ref allocate(PyTypeObject* type) {
    Ref made = Ref::own(type->tp_alloc(type, 0));
    as_parts(made.ptr())->values[0] = nullptr;
    as_parts(made.ptr())->values[1] = nullptr;
    return made;
}

template <class Kind>
void check_self(Obj self, const char* method) {
    if (!PyObject_TypeCheck(self.ptr(), &type_of<Kind>()))
        raise_format(PyExc_TypeError, "descriptor '%s' requires a '%s' object but received '%.200s'", method,
                     Kind::type_name, self.type_name());
}

template <class Kind>
Ref model_copy(Obj self, Obj update, bool deep) {
    check_self<Kind>(self, "model_copy");
    Ref values[2] = {get<Kind>(self, 0), get<Kind>(self, 1)};
    if (deep) Kind::deep(values);
    const Ref cls = self.type().ref();
    Ref made = allocate(reinterpret_cast<PyTypeObject*>(cls.ptr()));
    set<Kind>(made, 0, std::move(values[0]));
    set<Kind>(made, 1, std::move(values[1]));
    if (update.truthy()) {
        Ref items = Ref::own(PyObject_GetIter(update.call_method("items"_n).ptr()));
        while (Ref item = Ref::steal(PyIter_Next(items.ptr()))) {
            Ref pair = Ref::own(PySequence_Tuple(item.ptr()));
            if (PyTuple_GET_SIZE(pair.ptr()) != 2) raise(PyExc_ValueError, "update items must be (name, value) pairs");
            made.setattr(PyTuple_GET_ITEM(pair.ptr(), 0), PyTuple_GET_ITEM(pair.ptr(), 1));
        }
        if (PyErr_Occurred()) raise();
    }
    return made;
}

template <class Kind>
Ref dunder_copy(Obj self) {
    check_self<Kind>(self, "__copy__");
    return self.call_method("model_copy"_n);
}

template <class Kind>
Ref dunder_deepcopy(Obj self, Obj) {
    check_self<Kind>(self, "__deepcopy__");
    return self.call_method("model_copy"_n, kw<"deep">(True));
}

// ---- Slots -----------------------------------------------------------------------------------

PyObject* parts_new(PyTypeObject* type, PyObject*, PyObject*) {
    return guard([&] { return allocate(type); });
}

// __init__(self, *, <first>=None, <second>=None)
template <class Kind>
int parts_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard_status([&] {
        char* keywords[] = {const_cast<char*>(Kind::keys[0]), const_cast<char*>(Kind::keys[1]), nullptr};
        PyObject* first = Py_None;
        PyObject* second = Py_None;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, Kind::init_format, keywords, &first, &second)) raise();
        // The arguments are held by the call; assigning can release what was set before.
        set<Kind>(self, 0, Kind::initial(first));
        set<Kind>(self, 1, Kind::initial(second));
    });
}

// Kind(<first>=..., <second>=...) of the type itself: made in one step, the same object
// that __new__ and __init__ make. Any other call goes through them.
template <class Kind>
PyObject* parts_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyTypeObject* type = &type_of<Kind>();
    PyObject* given[2] = {Py_None, Py_None};
    bool seen[2] = {false, false};
    bool plain = callable == reinterpret_cast<PyObject*>(type) && nargs == 0;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; plain && i < nkw; ++i) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        // Keyword names are exact str, usually the interned names themselves.
        int slot = -1;
        for (int j = 0; j < 2; ++j)
            if (key == Kind::name(j).ptr() || (PyUnicode_CheckExact(key) && PyUnicode_Compare(key, Kind::name(j).ptr()) == 0))
                slot = j;
        if (slot < 0 || seen[slot]) {
            plain = false;
            break;
        }
        seen[slot] = true;
        given[slot] = args[nargs + i];
    }
    // Positional arguments, other keywords, a keyword given twice, or a subclass: the
    // general road, through __new__ and __init__ (which raise the interpreter's errors).
    if (!plain) return _PyObject_MakeTpCall(PyThreadState_Get(), callable, args, nargs, kwnames);
    return guard([&] {
        Ref first = Kind::initial(given[0]);
        Ref second = Kind::initial(given[1]);
        Ref made = allocate(type);
        as_parts(made.ptr())->values[0] = first.release();
        as_parts(made.ptr())->values[1] = second.release();
        return made;
    });
}

// A subclass's instance has its type visited by the subclass's own traverse.
int parts_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_parts(self)->values[0]);
    Py_VISIT(as_parts(self)->values[1]);
    return 0;
}

// Empties both values first, then releases them (which can run code that reads the object).
void clear_values(PyObject* self) {
    Ref first = Ref::steal(std::exchange(as_parts(self)->values[0], nullptr));
    Ref second = Ref::steal(std::exchange(as_parts(self)->values[1], nullptr));
}

int parts_clear(PyObject* self) {
    return guard_status([&] { clear_values(self); });
}

void parts_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    clear_values(self);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
}

template <class Kind>
PyObject* parts_richcompare(PyObject* self, PyObject* other, int op) {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(other) != Py_TYPE(self)) return Py_NewRef(Py_NotImplemented);
    return guard([&] {
        // Read in order (arguments of one call are evaluated in no fixed order): the first
        // value missing is the one an unset object reports.
        Ref mine_first = get<Kind>(self, 0);
        Ref mine_second = get<Kind>(self, 1);
        Ref theirs_first = get<Kind>(other, 0);
        Ref theirs_second = get<Kind>(other, 1);
        Ref mine = py::tuple(mine_first, mine_second);
        Ref theirs = py::tuple(theirs_first, theirs_second);
        return Ref::own(PyObject_RichCompare(mine.ptr(), theirs.ptr(), op));
    });
}

template <class Kind>
PyObject* parts_repr(PyObject* self) {
    return guard([&] {
        Ref name = Ref::own(PyType_GetName(Py_TYPE(self)));
        Ref first = get<Kind>(self, 0);
        Ref second = get<Kind>(self, 1);
        return Ref::own(PyUnicode_FromFormat("%U(%U=%R, %U=%R)", name.ptr(), Kind::name(0).ptr(), first.ptr(),
                                             Kind::name(1).ptr(), second.ptr()));
    });
}

PyMemberDef paginator_members[] = {
    {"limit", Py_T_OBJECT_EX, offsetof(PartsObject, values), 0, nullptr},
    {"offset", Py_T_OBJECT_EX, offsetof(PartsObject, values) + sizeof(PyObject*), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMemberDef specifier_members[] = {
    {"only", Py_T_OBJECT_EX, offsetof(PartsObject, values), 0, nullptr},
    {"distinct", Py_T_OBJECT_EX, offsetof(PartsObject, values) + sizeof(PyObject*), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

template <class Kind>
PyTypeObject make_type(const char* name, const char* doc, PyMemberDef* members) {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = name;
    t.tp_basicsize = sizeof(PartsObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE;
    t.tp_doc = doc;
    t.tp_new = parts_new;
    t.tp_init = parts_init<Kind>;
    t.tp_vectorcall = parts_vectorcall<Kind>;
    t.tp_dealloc = parts_dealloc;
    t.tp_free = PyObject_GC_Del;
    t.tp_traverse = parts_traverse;
    t.tp_clear = parts_clear;
    t.tp_richcompare = parts_richcompare<Kind>;
    t.tp_repr = parts_repr<Kind>;
    t.tp_hash = PyObject_HashNotImplemented;
    t.tp_members = members;
    return t;
}

PyTypeObject paginator_type = make_type<Paginator>(
    "kestrum_utils.query.data_models.paginator.NumberPaginator",
    "NumberPaginator(*, limit=None, offset=None)\n--\n\n"
    "Offset and limit of a query; ``None`` means unbounded.\n\n"
    "A slice ``[start:stop]`` is stored as ``offset=start, limit=stop - start``.\n"
    "Values are stored as given, on construction and on assignment: executors check\n"
    "them when they run. Every query set builds and copies one, so it is a native\n"
    "object with two slots.",
    paginator_members);

PyTypeObject specifier_type = make_type<Specifier>(
    "kestrum_utils.query.data_models.query_specifier.QuerySpecifier",
    "QuerySpecifier(*, only=None, distinct=None)\n--\n\n"
    "Which columns a query loads (``only``) and which it de-duplicates on (``distinct``).\n\n"
    "An empty list means no restriction. Lists are stored as given, on construction\n"
    "and on assignment: executors check them when they run. Every query set builds\n"
    "and deep-copies one, so it is a native object with two slots.",
    specifier_members);

template <>
PyTypeObject& type_of<Paginator>() {
    return paginator_type;
}
template <>
PyTypeObject& type_of<Specifier>() {
    return specifier_type;
}

template <class Kind>
void finish(const char* module, const char* annotation) {
    PyTypeObject& type = type_of<Kind>();
    if (!(type.tp_flags & Py_TPFLAGS_READY)) require(PyType_Ready(&type));
    Obj dict = type.tp_dict;
    const Ref module_name = py::str(module);
    const Ref prefix = py::str(Kind::type_name);
    auto qualname = [&](const char* method) { return Ref::own(PyUnicode_FromFormat("%U.%s", prefix.ptr(), method)); };
    py::dict_set(dict, "model_copy"_n,
                 function<model_copy<Kind>>({"model_copy",
                                             {arg("self"), kwonly("update", "Mapping[str, Any] | None", None),
                                              kwonly("deep", "bool", False)},
                                             "Self",
                                             Kind::copy_doc},
                                            module_name, qualname("model_copy")));
    py::dict_set(dict, "__copy__"_n,
                 function<dunder_copy<Kind>>({"__copy__", {arg("self")}, "Self"}, module_name, qualname("__copy__")));
    py::dict_set(dict, "__deepcopy__"_n,
                 function<dunder_deepcopy<Kind>>({"__deepcopy__", {arg("self"), arg("memo", "dict[int, Any] | None", None)},
                                                  "Self"},
                                                 module_name, qualname("__deepcopy__")));
    // As a class with these slots declares them (copy and pickle read __slots__).
    py::dict_set(dict, "__slots__"_n, py::tuple(Kind::name(0), Kind::name(1)));
    Ref annotations = py::dict();
    py::dict_set(annotations, Kind::name(0), py::str(annotation));
    py::dict_set(annotations, Kind::name(1), py::str(annotation));
    py::dict_set(dict, "__annotations__"_n, annotations);
    PyType_Modified(&type);
}

}  // namespace

void add_query_parts(const Module& m) {
    finish<Paginator>("kestrum_utils.query.data_models.paginator", "int | None");
    finish<Specifier>("kestrum_utils.query.data_models.query_specifier", "list[str]");
    m.set("NumberPaginator", Obj(reinterpret_cast<PyObject*>(&paginator_type)));
    m.set("QuerySpecifier", Obj(reinterpret_cast<PyObject*>(&specifier_type)));
}

}  // namespace records
