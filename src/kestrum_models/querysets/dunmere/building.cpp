// QuerySetBase: the query-building operations.
//
//   def using(self, value: str):
//       qs = self._copy()
//       qs._using = value
//       return qs
//
//   def annotate(self, **kwargs):
//       for name, value in kwargs.items():
//           self._annotations[name] = value
//       return self
//
//   def only(self, fields: list[str]):
//       qs = self._copy()
//       current = self._query_specifier.only or []
//       # the union, in first-seen order: the receiver's fields, then the new ones
//       qs._query_specifier.only = list(dict.fromkeys([*current, *fields]))
//       return qs
//
//   def distinct(self, fields: list[str]):
//       qs = self._copy()
//       qs._query_specifier.distinct = fields
//       return qs
//
//   def filter(self, *args, **kwargs):
//       return self._filter(*args, **kwargs)
//
//   def exclude(self, *args, **kwargs):
//       return self._filter(*args, negated=True, **kwargs)
//
//   def _filter(self, *args, negated: bool = False, **kwargs):
//       if not args and not kwargs:
//           return self
//       qs = self._copy()
//       if args:
//           new, rest = args[0], args[1:]
//       else:
//           new, rest, kwargs = Q(**kwargs), (), {}
//       for arg in rest:
//           new &= arg
//       if kwargs:
//           new &= Q(**kwargs)
//       if negated:
//           new = ~new
//       if new:
//           if qs._conditions:
//               qs._conditions &= new
//           else:
//               qs._conditions = new
//       return qs
//
//   def order_by(self, *args):
//       qs = self._copy()
//       qs._order_by = [OrderBy.from_string(arg) for arg in args]
//       return qs
//
//   def __getitem__(self, index):
//       qs = self._copy()
//       if type(index) is slice:
//           if index.step is not None and index.step != 1:
//               raise ValueError(f"QuerySet slicing does not support step: {index.step}")
//           start = 0 if index.start is None else index.start
//           qs._paginator.offset = start
//           qs._paginator.limit = None if index.stop is None else index.stop - start
//       else:
//           qs._paginator.offset = index
//           index + 1          # an index that cannot be added to 1 is refused
//           qs._paginator.limit = 1
//       return qs
//
//   def latest(self):
//       return self.filter(_address__object_version=Versions.LATEST)
//
//   def _check_type(self, obj):
//       if type(obj) is not self._entity:
//           raise BulkOperationError("Cannot update an object of a different type")
//
//   def select_related(self, *fields):
//       qs = self._copy()
//       tree = {}
//       for field in fields:
//           node = tree
//           for part in field.split("__"):
//               node = node.setdefault(part, {})
//       qs._select_related = tree
//       return qs
//
// A query set is not iterable and has no membership test (`for`, `in`, `list()`): those
// raise TypeError pointing to execute(), instead of probing the subscript forever.
#include "dunmere.hpp"

namespace dunmere {

using namespace kestrum;

Obj empty_tuple() noexcept {
    // The interpreter's own empty tuple, which is immortal.
    static const Obj empty{Ref::steal(PyTuple_New(0)).release()};
    return empty;
}

Ref function_str(Obj callable) { return Ref::own(_PyObject_FunctionStr(callable.ptr())); }

void raise_error(Obj error_class, const char* message) {
    Ref error = error_class(py::str(message));
    if (!PyExceptionInstance_Check(error.ptr())) raise(PyExc_TypeError, "exceptions must derive from BaseException");
    PyErr_SetRaisedException(error.release());
    raise();
}

Ref using_(Obj self, Obj value) {
    Ref qs = copy_of(self);
    set_state(qs, "_using"_n, value);
    return qs;
}

Ref annotate(Obj self, Obj kwargs) {
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t position = 0;
    // `kwargs` is the dict the binder made for this call, which no other code can reach:
    // its items stay while the stores run code.
    while (PyDict_Next(kwargs.ptr(), &position, &name, &value)) get_state(self, "_annotations"_n).setitem(name, value);
    return self.ref();
}

namespace {

// Append the items of `source` that `seen` does not hold yet, in order.
void add_new_items(Obj source, Obj seen, Obj result) {
    Ref items = Ref::own(PyObject_GetIter(source.ptr()));
    while (Ref item = Ref::steal(PyIter_Next(items.ptr()))) {
        if (require(PySet_Contains(seen.ptr(), item.ptr()))) continue;
        require(PySet_Add(seen.ptr(), item.ptr()));
        py::append(result, item);
    }
    if (PyErr_Occurred()) raise();
}

bool small_list_of_str(Obj list) {
    if (!PyList_CheckExact(list.ptr()) || PyList_GET_SIZE(list.ptr()) > 16) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.ptr()); ++i)
        if (!PyUnicode_CheckExact(PyList_GET_ITEM(list.ptr(), i))) return false;
    return true;
}

// The same union for a few exact str (equal as set members exactly when their text is
// equal), without building a set.
void add_new_text(Obj source, Obj result) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(source.ptr()); ++i) {
        PyObject* item = PyList_GET_ITEM(source.ptr(), i);
        bool seen = false;
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(result.ptr()) && !seen; ++j) {
            PyObject* kept = PyList_GET_ITEM(result.ptr(), j);
            seen = kept == item || PyUnicode_Compare(kept, item) == 0;
        }
        if (!seen) py::append(result, item);
    }
}

}  // namespace

Ref only(Obj self, Obj fields) {
    const StateView view(self);
    Ref qs = copy_of(view);
    Ref current = view.get(QUERY_SPECIFIER).attr("only"_n);
    Ref union_ = py::list();
    const bool has_current = current.truthy();
    if ((!has_current || small_list_of_str(current)) && small_list_of_str(fields)) {
        if (has_current) add_new_text(current, union_);
        add_new_text(fields, union_);
    } else {
        Ref seen = Ref::own(PySet_New(nullptr));
        if (has_current) add_new_items(current, seen, union_);
        add_new_items(fields, seen, union_);
    }
    store_attr(get_state(qs, "_query_specifier"_n), "only"_n, union_);
    return qs;
}

Ref distinct(Obj self, Obj fields) {
    Ref qs = copy_of(self);
    store_attr(get_state(qs, "_query_specifier"_n), "distinct"_n, fields);
    return qs;
}

Ref filter_of(Obj self, Obj args, Obj kwargs) {
    // The native _filter would take `negated` out of the keywords; without it, the
    // keywords pass on as they are.
    if (finds_native(self, &TypeInfo::native_filter_, "_filter"_n) &&
        !require(PyDict_Contains(kwargs.ptr(), Obj("negated"_n).ptr())))
        return filter_(self, args, false, kwargs);
    return call_method_star(self, "_filter"_n, args, kwargs);
}

Ref filter(Obj self, Obj args, Obj kwargs) { return filter_of(self, args, kwargs); }

Ref exclude(Obj self, Obj args, Obj kwargs) {
    if (finds_native(self, &TypeInfo::native_filter_, "_filter"_n) &&
        !require(PyDict_Contains(kwargs.ptr(), Obj("negated"_n).ptr())))
        return filter_(self, args, true, kwargs);
    Ref method = self.attr("_filter"_n);
    Ref keywords = py::dict();
    py::dict_set(keywords, "negated"_n, True);
    if (require(PyDict_Contains(kwargs.ptr(), Obj("negated"_n).ptr())))
        raise_format(PyExc_TypeError, "%U got multiple values for keyword argument '%U'", function_str(method).ptr(),
                     Obj("negated"_n).ptr());
    require(PyDict_Update(keywords.ptr(), kwargs.ptr()));
    return method.call_star(args, keywords);
}

Ref filter_(Obj self, Obj args, bool negated, Obj kwargs) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args.ptr());
    bool keywords_left = PyDict_GET_SIZE(kwargs.ptr()) > 0;
    if (nargs == 0 && !keywords_left) return self.ref();
    Ref qs = copy_of(self);
    Ref condition;
    if (nargs > 0) {
        condition = Ref::borrow(PyTuple_GET_ITEM(args.ptr(), 0));
    } else {
        condition = global<"Q">().call_star(empty_tuple(), kwargs);
        keywords_left = false;
    }
    for (Py_ssize_t i = 1; i < nargs; ++i)
        condition = Ref::own(PyNumber_InPlaceAnd(condition.ptr(), PyTuple_GET_ITEM(args.ptr(), i)));
    if (keywords_left) {
        Ref lookups = global<"Q">().call_star(empty_tuple(), kwargs);
        condition = Ref::own(PyNumber_InPlaceAnd(condition.ptr(), lookups.ptr()));
    }
    if (negated) condition = Ref::own(PyNumber_Invert(condition.ptr()));
    if (condition.truthy()) {
        if (get_state(qs, "_conditions"_n).truthy()) {
            Ref combined = Ref::own(PyNumber_InPlaceAnd(get_state(qs, "_conditions"_n).ptr(), condition.ptr()));
            set_state(qs, "_conditions"_n, combined);
        } else {
            set_state(qs, "_conditions"_n, condition);
        }
    }
    return qs;
}

Ref order_by(Obj self, Obj args) {
    Ref qs = copy_of(self);
    const Py_ssize_t n = PyTuple_GET_SIZE(args.ptr());
    Ref ordering = py::list();
    for (Py_ssize_t i = 0; i < n; ++i)
        py::append(ordering, global<"OrderBy">().call_method("from_string"_n, Obj(PyTuple_GET_ITEM(args.ptr(), i))));
    set_state(qs, "_order_by"_n, ordering);
    return qs;
}

Ref getitem(Obj self, Obj index) {
    Ref qs = copy_of(self);
    if (Py_IS_TYPE(index.ptr(), &PySlice_Type)) {
        auto* slice = reinterpret_cast<PySliceObject*>(index.ptr());
        // The slice, held by the caller and immutable, keeps its parts alive.
        Obj stop = slice->stop;
        Obj step = slice->step;
        if (!step.is_none() && step.ne(py::integer(1))) {
            Ref text = Ref::own(PyObject_Format(step.ptr(), nullptr));
            raise_format(PyExc_ValueError, "QuerySet slicing does not support step: %U", text.ptr());
        }
        // An omitted start is the first row; an omitted stop leaves the page open.
        Ref start = Obj(slice->start).is_none() ? py::integer(0) : Ref::borrow(slice->start);
        store_attr(get_state(qs, "_paginator"_n), "offset"_n, start);
        Ref limit = stop.is_none() ? Ref::borrow(Py_None) : Ref::own(PyNumber_Subtract(stop.ptr(), start.ptr()));
        store_attr(get_state(qs, "_paginator"_n), "limit"_n, limit);
    } else {
        store_attr(get_state(qs, "_paginator"_n), "offset"_n, index);
        Ref one = py::integer(1);
        [[maybe_unused]] Ref next_index = Ref::own(PyNumber_Add(index.ptr(), one.ptr()));
        store_attr(get_state(qs, "_paginator"_n), "limit"_n, one);
    }
    return qs;
}

Ref latest(Obj self) {
    MethodCall filter_method(self, "filter"_n);
    Ref value = global<"Versions">().attr("LATEST"_n);
    return filter_method(kw<"_address__object_version">(value));
}

Ref check_type(Obj self, Obj obj) {
    if (!obj.type().is(get_state(self, "_entity"_n)))
        raise_error(global<"BulkOperationError">(), "Cannot update an object of a different type");
    return Ref::none();
}

Ref select_related(Obj self, Obj fields) {
    Ref qs = copy_of(self);
    Ref tree = py::dict();
    const Py_ssize_t n = PyTuple_GET_SIZE(fields.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref node = tree.ref();
        Ref parts = Obj(PyTuple_GET_ITEM(fields.ptr(), i)).call_method("split"_n, "__"_n);
        Ref iterator = Ref::own(PyObject_GetIter(parts.ptr()));
        while (Ref part = Ref::steal(PyIter_Next(iterator.ptr()))) {
            Ref branch = py::dict();
            node = Ref::borrow(require(PyDict_SetDefault(node.ptr(), part.ptr(), branch.ptr())));
        }
        if (PyErr_Occurred()) raise();
    }
    set_state(qs, "_select_related"_n, tree);
    return qs;
}

Ref refuse_iter(Obj self) {
    raise_format(PyExc_TypeError,
                 "'%.200s' object is not iterable: run the query with execute() (or aexecute()) "
                 "and iterate over its result",
                 self.type_name());
}

Ref refuse_contains(Obj self, Obj) {
    raise_format(PyExc_TypeError,
                 "'%.200s' object does not support membership tests: run the query with execute() "
                 "(or aexecute()) and test its result",
                 self.type_name());
}

}  // namespace dunmere
