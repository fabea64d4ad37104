#include "frame/function.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "frame/nesting.hpp"
#include "frame/traceback.hpp"

namespace frame {

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    FunctionDef* def;
    PyObject* qualname;
    PyObject* module;
    PyObject* globals;
    PyObject* code;
    PyObject* name;          // made on first read
    PyObject* doc;           // the definition's docstring, or null (None)
    PyObject* dict;          // made on first use
    PyObject* defaults;      // what __defaults__ reports
    PyObject* kwdefaults;    // what __kwdefaults__ reports
    PyObject* annotations;
    PyObject* is_coroutine;  // cached _is_coroutine
    PyObject* weakreflist;
    PyObject* call_defaults;  // fixed at creation: what calls use
};

FunctionObject* as_function(PyObject* o) { return reinterpret_cast<FunctionObject*>(o); }

Name n_asyncio_coroutines{"asyncio.coroutines"};
Name n_is_coroutine{"_is_coroutine"};

// ---------------------------------------------------------------------------
// Argument binding

// A TypeError message assembled from pieces into a stack buffer: binding
// failures and refusals are hot paths for callers that probe, and the
// interpreter's general formatter cost more than the rest of the call.
class Message {
public:
    // At most `most` bytes of a C string, as "%.200s" takes.
    Message& put(const char* piece, std::size_t most = 200) {
        return put_bytes(piece, std::min(std::strlen(piece), most));
    }
    Message& put_bytes(const char* bytes, std::size_t len) {
        if (len > sizeof text_ - n_) len = sizeof text_ - n_;
        std::memcpy(text_ + n_, bytes, len);
        n_ += len;
        return *this;
    }
    Message& put(Py_ssize_t number) {
        char digits[24];
        std::size_t len = 0;
        bool negative = number < 0;
        std::size_t value = negative ? 0 - static_cast<std::size_t>(number)
                                     : static_cast<std::size_t>(number);
        do {
            digits[len++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value);
        if (negative) digits[len++] = '-';
        while (len && n_ < sizeof text_) text_[n_++] = digits[--len];
        return *this;
    }
    // Raises TypeError with the text; returns null.
    PyObject* raise() {
        Ref message = steal(PyUnicode_DecodeUTF8(text_, static_cast<Py_ssize_t>(n_), "replace"));
        if (message) PyErr_SetObject(PyExc_TypeError, message.ptr());
        return nullptr;
    }

private:
    char text_[720];
    std::size_t n_ = 0;
};

// The refusals below are cold and never inlined: their message buffers
// stay out of the frame of every call, which nests once per level of a
// recursion through the modules (frame/nesting.hpp).

// "f() takes exactly 2 positional arguments (3 given)"
[[gnu::cold, gnu::noinline]] PyObject* wrong_count(const FunctionDef& d, Py_ssize_t given, PyObject* globals) {
    const Signature& sig = d.signature;
    const char* how;
    Py_ssize_t number;
    if (sig.required == sig.argcount) {
        how = "exactly";
        number = sig.required;
    } else if (given < sig.required) {
        how = "at least";
        number = sig.required;
    } else {
        how = "at most";
        number = sig.argcount;
    }
    Message()
        .put(d.name).put("() takes ").put(how).put(" ").put(number)
        .put(number == 1 ? " positional argument (" : " positional arguments (")
        .put(given).put(" given)")
        .raise();
    add_definition_traceback(d, globals);
    return nullptr;
}

// Index of the keyword that fills `param`: the same text object first, then
// an equal text; -1 when none does.
Py_ssize_t find_keyword(PyObject* kwnames, PyObject* param) {
    Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < n; i++)
        if (PyTuple_GET_ITEM(kwnames, i) == param) return i;
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        if (PyUnicode_Check(key) && PyUnicode_Compare(key, param) == 0) return i;
    }
    return -1;
}

// Index of the parameter that `key` names, or -1.
int parameter_index(const FunctionDef& d, PyObject* key) {
    for (int i = 0; i < d.signature.argcount; i++)
        if (PyTuple_GET_ITEM(d.argnames, i) == key) return i;
    for (int i = 0; i < d.signature.argcount; i++)
        if (PyUnicode_Compare(key, PyTuple_GET_ITEM(d.argnames, i)) == 0) return i;
    return -1;
}

// Whether keyword `k` filled one of the parameters after the first `given`,
// by the same lookup that bound it.
bool keyword_taken(const FunctionDef& d, PyObject* kwnames, Py_ssize_t given, Py_ssize_t k) {
    for (Py_ssize_t i = given; i < d.signature.argcount; i++)
        if (find_keyword(kwnames, PyTuple_GET_ITEM(d.argnames, i)) == k) return true;
    return false;
}

// Raises for the first keyword, in call order, that no parameter took.
[[gnu::cold, gnu::noinline]] PyObject* leftover_keyword(const FunctionDef& d, PyObject* kwnames, Py_ssize_t given,
                                                           PyObject* globals) {
    Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < n; k++) {
        if (keyword_taken(d, kwnames, given, k)) continue;
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            Message().put(d.name).put("() keywords must be strings").raise();
        } else {
            // Filled positionally already, or named twice among the keywords.
            const bool repeated = parameter_index(d, key) >= 0;
            const char* what = repeated ? "() got multiple values for keyword argument '"
                                        : "() got an unexpected keyword argument '";
            // A name too long for the buffer, or one UTF-8 cannot carry
            // (lone surrogates), goes through the general formatter.
            Py_ssize_t size = 0;
            const char* text = PyUnicode_AsUTF8AndSize(key, &size);
            if (text && size <= 400) {
                Message().put(d.name).put(what, 60).put_bytes(text, static_cast<std::size_t>(size)).put("'").raise();
            } else {
                PyErr_Clear();
                PyErr_Format(PyExc_TypeError, "%s%s%U'", d.name, what, key);
            }
        }
        add_definition_traceback(d, globals);
        return nullptr;
    }
    return nullptr;
}

// TypeError "Argument 'x' has incorrect type (expected int, got float)".
[[gnu::cold, gnu::noinline]] PyObject* refuse_type(PyObject* param, PyTypeObject* expected, PyTypeObject* got) {
    const char* name = PyUnicode_AsUTF8(param);
    if (!name) return nullptr;
    return Message()
        .put("Argument '").put(name).put("' has incorrect type (expected ").put(expected->tp_name)
        .put(", got ").put(got->tp_name).put(")")
        .raise();
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    FunctionObject* f = as_function(self);
    const FunctionDef& d = *f->def;
    const Signature& sig = d.signature;
    const Py_ssize_t given = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject* defaults = f->call_defaults;
    PyObject* values[kMaxArgs];
    if (!defaults && sig.required < sig.argcount) {
        PyErr_Format(PyExc_SystemError, "%s() was created without its defaults", d.name);
        return nullptr;
    }

    if (nkw == 0) {
        if (given < sig.required || given > sig.argcount) return wrong_count(d, given, f->globals);
        for (Py_ssize_t i = 0; i < given; i++) values[i] = args[i];
        for (Py_ssize_t i = given; i < sig.argcount; i++)
            values[i] = PyTuple_GET_ITEM(defaults, i - sig.required);
    } else {
        if (given > sig.argcount) return wrong_count(d, given, f->globals);
        for (Py_ssize_t i = 0; i < given; i++) values[i] = args[i];
        PyObject* const* kwvalues = args + given;
        Py_ssize_t used = 0;
        for (Py_ssize_t i = given; i < sig.argcount; i++) {
            Py_ssize_t k = find_keyword(kwnames, PyTuple_GET_ITEM(d.argnames, i));
            if (k >= 0) {
                values[i] = kwvalues[k];
                used++;
            } else if (i < sig.required) {
                return wrong_count(d, i, f->globals);
            } else {
                values[i] = PyTuple_GET_ITEM(defaults, i - sig.required);
            }
        }
        if (used < nkw) {
            // Rare path: name the first keyword that no parameter took.
            return leftover_keyword(d, kwnames, given, f->globals);
        }
    }

    for (std::size_t i = 0; i < static_cast<std::size_t>(sig.argcount); i++) {
        PyTypeObject* expected = sig.exact_types[i];
        if (expected && Py_TYPE(values[i]) != expected)
            return refuse_type(PyTuple_GET_ITEM(d.argnames, i), expected, Py_TYPE(values[i]));
    }

    if (sig.flags & kAsync) {
        if (!state.new_coroutine) {
            PyErr_Format(PyExc_SystemError, "%s(): this module has no coroutines", d.name);
            return nullptr;
        }
        return state.new_coroutine(self, values, sig.argcount);
    }
    // The body looks its names up in the function's globals.
    RunningGlobals running(f->globals);
    // A call counts against the recursion limit as a Python call does, and
    // against the thread's C stack (frame/nesting.hpp).
    NestedCall nested;
    if (!nested) return nullptr;
    // The body holds its arguments as a Python frame does: callers that look
    // at reference counts (pandas' chained-assignment check) see the same.
    for (int i = 0; i < sig.argcount; i++) Py_INCREF(values[i]);
    PyObject* result = d.entry(d, self, values);
    for (int i = 0; i < sig.argcount; i++) Py_DECREF(values[i]);
    return result;
}

// ---------------------------------------------------------------------------
// Attributes

PyObject* get_name(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    if (!f->name) {
        f->name = PyUnicode_InternFromString(f->def->name);
        if (!f->name) return nullptr;
    }
    return Py_NewRef(f->name);
}

int set_name(PyObject* self, PyObject* value, void*) {
    return set_text_slot(&as_function(self)->name, value, "__name__ must be set to a string object");
}

PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_function(self)->qualname); }

int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_text_slot(&as_function(self)->qualname, value, "__qualname__ must be set to a string object");
}

PyObject* get_dict(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    if (!f->dict) {
        f->dict = PyDict_New();
        if (!f->dict) return nullptr;
    }
    return Py_NewRef(f->dict);
}

int set_dict(PyObject* self, PyObject* value, void*) {
    if (!value) {
        PyErr_SetString(PyExc_TypeError, "function's dictionary may not be deleted");
        return -1;
    }
    if (!PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "setting function's dictionary to a non-dict");
        return -1;
    }
    Py_XSETREF(as_function(self)->dict, Py_NewRef(value));
    return 0;
}

PyObject* get_closure(PyObject*, void*) { Py_RETURN_NONE; }

PyObject* get_defaults(PyObject* self, void*) {
    PyObject* d = as_function(self)->defaults;
    return Py_NewRef(d ? d : Py_None);
}

// Calls keep the defaults fixed at creation; a write is recorded for readers
// only, and says so.
int warn_defaults_unused(const char* attribute) {
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "setting %s of a compiled function does not change the values "
                            "used in its calls",
                            attribute);
}

int set_defaults_attr(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    if (warn_defaults_unused("__defaults__") < 0) return -1;
    Py_XSETREF(as_function(self)->defaults, Py_XNewRef(value));
    return 0;
}

PyObject* get_kwdefaults(PyObject* self, void*) {
    PyObject* d = as_function(self)->kwdefaults;
    return Py_NewRef(d ? d : Py_None);
}

int set_kwdefaults(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    if (warn_defaults_unused("__kwdefaults__") < 0) return -1;
    Py_XSETREF(as_function(self)->kwdefaults, Py_XNewRef(value));
    return 0;
}

PyObject* get_annotations(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    if (!f->annotations) {
        f->annotations = PyDict_New();
        if (!f->annotations) return nullptr;
    }
    return Py_NewRef(f->annotations);
}

int set_annotations_attr(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->annotations, Py_XNewRef(value));
    return 0;
}

PyObject* get_is_coroutine(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    if (!f->is_coroutine) {
        Ref marker = borrow(Py_False);
        if (f->def->signature.flags & kAsync) {
            // The marker asyncio.iscoroutinefunction() looks for; True stands in
            // when asyncio cannot provide it.
            Ref fromlist = tuple({n_is_coroutine});
            Ref mod = fromlist ? steal(PyImport_ImportModuleLevelObject(
                                     n_asyncio_coroutines.ptr(), nullptr, nullptr, fromlist.ptr(), 0))
                               : Ref();
            marker = mod ? mod.attr(n_is_coroutine).value() : Ref();
            if (!marker) {
                PyErr_Clear();
                marker = borrow(Py_True);
            }
        }
        f->is_coroutine = marker.release();
    }
    return Py_NewRef(f->is_coroutine);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"func_name", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__dict__", get_dict, set_dict, nullptr, nullptr},
    {"func_dict", get_dict, set_dict, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"func_closure", get_closure, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults_attr, nullptr, nullptr},
    {"func_defaults", get_defaults, set_defaults_attr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations_attr, nullptr, nullptr},
    {"_is_coroutine", get_is_coroutine, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Fields read and written as they are, as the interpreter's own function
// type keeps them: an empty field reads None, and deleting one empties it
// (so `del f.__doc__` reads None afterwards). The interpreter reads them
// without a call of ours.
#define FIELD(name, type, member, flags) {name, type, offsetof(FunctionObject, member), flags, nullptr}
PyMemberDef function_members[] = {
    FIELD("__doc__", _Py_T_OBJECT, doc, 0),
    FIELD("func_doc", _Py_T_OBJECT, doc, 0),
    FIELD("__module__", _Py_T_OBJECT, module, 0),
    FIELD("__globals__", _Py_T_OBJECT, globals, Py_READONLY),
    FIELD("func_globals", _Py_T_OBJECT, globals, Py_READONLY),
    FIELD("__code__", _Py_T_OBJECT, code, Py_READONLY),
    FIELD("func_code", _Py_T_OBJECT, code, Py_READONLY),
    {nullptr, 0, 0, 0, nullptr},
};
#undef FIELD

// Pickled by reference: the qualified name, looked up in __module__.
PyObject* function_reduce(PyObject* self, PyObject*) {
    return Py_NewRef(as_function(self)->qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<compiled function %U at %p>", as_function(self)->qualname, self);
}

// Read through an instance: a bound method; through the class: itself.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

// The type is static, so its instances hold no reference to it. An
// instance of a subclass made in Python (a heap type) holds one, which the
// subclass's own slots visit and release before calling these, as the
// interpreter does for every static base.
int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->globals);
    Py_VISIT(f->code);
    Py_VISIT(f->name);
    Py_VISIT(f->doc);
    Py_VISIT(f->dict);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->is_coroutine);
    Py_VISIT(f->call_defaults);
    return 0;
}

// As the interpreter's own function type does, clearing keeps the fields
// that readers rely on set: the qualified name becomes empty, and globals and
// code stay until the object is freed (the globals dictionary is cleared by
// the collector on its own, which breaks a cycle through it).
int function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    if (f->qualname) Py_SETREF(f->qualname, Py_NewRef(state.empty_text));
    Py_CLEAR(f->module);
    Py_CLEAR(f->name);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->is_coroutine);
    Py_CLEAR(f->call_defaults);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakreflist) PyObject_ClearWeakRefs(self);
    function_clear(self);
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->code);
    Py_TYPE(self)->tp_free(self);
}

PyTypeObject function_type = [] {
    PyTypeObject t = new_static_type();
    t.tp_name = "function";  // named in the registry when shared
    t.tp_basicsize = sizeof(FunctionObject);
    t.tp_dealloc = function_dealloc;
    t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    t.tp_repr = function_repr;
    t.tp_call = PyVectorcall_Call;
    t.tp_getattro = PyObject_GenericGetAttr;
    t.tp_setattro = PyObject_GenericSetAttr;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE |
                 Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_doc = "A compiled function of an orveksdk module.";
    t.tp_traverse = function_traverse;
    t.tp_clear = function_clear;
    t.tp_weaklistoffset = offsetof(FunctionObject, weakreflist);
    t.tp_methods = function_methods;
    t.tp_getset = function_getset;
    t.tp_members = function_members;
    t.tp_descr_get = function_descr_get;
    t.tp_dictoffset = offsetof(FunctionObject, dict);
    return t;
}();

}  // namespace

const FunctionDef& definition_of(PyObject* function) noexcept { return *as_function(function)->def; }

PyObject* globals_of(PyObject* function) noexcept { return as_function(function)->globals; }

int function_names(PyObject* function, Ref& name, Ref& qualname, Ref& module) noexcept {
    name = steal(get_name(function, nullptr));
    if (!name) return -1;
    qualname = steal(get_qualname(function, nullptr));
    module = borrow(as_function(function)->module ? as_function(function)->module : Py_None);
    return 0;
}

void add_definition_traceback(const FunctionDef& def, PyObject* globals) noexcept {
    add_traceback(def.trace, def.file, def.line, globals);
}

namespace {
// Every definition, in declaration order within each source file.
FunctionDef* definitions_head = nullptr;
FunctionDef** definitions_tail = &definitions_head;

// Creates code object, argument names and name object of `def`.
int prepare_function(FunctionDef& def) noexcept {
    Ref varnames = steal(PyTuple_New(def.nvarnames));
    if (!varnames) return -1;
    for (int i = 0; i < def.nvarnames; i++) {
        PyObject* v = PyUnicode_InternFromString(def.signature.varnames[static_cast<std::size_t>(i)]);
        if (!v) return -1;
        PyTuple_SET_ITEM(varnames.ptr(), i, v);
    }
    Ref argnames = steal(PyTuple_GetSlice(varnames.ptr(), 0, def.signature.argcount));
    Ref name = steal(PyUnicode_InternFromString(def.name));
    Ref file = steal(PyUnicode_FromString(def.file));
    if (!argnames || !name || !file) return -1;
    int flags = CO_OPTIMIZED | CO_NEWLOCALS | ((def.signature.flags & kAsync) ? CO_COROUTINE : 0);
    // The code object describes parameters, locals and flags for
    // introspection and tracebacks. Its bytecode and line table are those of
    // the interpreter's own empty code object, which raise AssertionError:
    // code copied into a Python function (types.FunctionType) is safe to
    // run, and frames made from it have a line number.
    Ref model = steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(def.file, def.name, def.line)));
    if (!model) return -1;
    Ref bytecode = steal(PyCode_GetCode(reinterpret_cast<PyCodeObject*>(model.ptr())));
    Ref linetable = steal(PyObject_GetAttrString(model.ptr(), "co_linetable"));
    if (!bytecode || !linetable) return -1;
    const int stacksize = reinterpret_cast<PyCodeObject*>(model.ptr())->co_stacksize;
    PyObject* empty = state.empty_tuple;
    Ref code = steal(reinterpret_cast<PyObject*>(PyUnstable_Code_NewWithPosOnlyArgs(
        def.signature.argcount, 0, 0, def.nvarnames, stacksize, flags, bytecode.ptr(), empty, empty,
        varnames.ptr(), empty, empty, file.ptr(), name.ptr(), name.ptr(), def.line,
        linetable.ptr(), state.empty_bytes)));
    if (!code) return -1;
    Py_XSETREF(def.code, code.release());
    Py_XSETREF(def.argnames, argnames.release());
    Py_XSETREF(def.name_object, name.release());
    if (def.signature.doc) {
        PyObject* doc = PyUnicode_FromString(def.signature.doc);
        if (!doc) return -1;
        Py_XSETREF(def.doc_object, doc);
    }
    return 0;
}

int prepare_functions() noexcept {
    for (FunctionDef* d = definitions_head; d; d = d->next)
        if (prepare_function(*d) < 0) return -1;
    return 0;
}

// What prepare_function made belongs to an interpreter that may be gone:
// let go of, never released.
void forget_functions() noexcept {
    for (FunctionDef* d = definitions_head; d; d = d->next) {
        d->code = nullptr;
        d->argnames = nullptr;
        d->name_object = nullptr;
        d->doc_object = nullptr;
    }
}

SharedType shared_function_type{"function", &function_type, &State::function_type, false};
ExecuteHook function_hook{1, prepare_functions, forget_functions};
}  // namespace

FunctionDef::FunctionDef(const Signature& s, Entry entry_, Flow (*body_)(Body&), int line_,
                         const char* file_) noexcept
    : signature(s), name(s.qualname), nvarnames(0), entry(entry_), body(body_), line(line_),
      file(file_) {
    if (signature.required < 0) signature.required = signature.argcount;
    if (const char* dot = std::strrchr(signature.qualname, '.')) name = dot + 1;
    while (nvarnames < kMaxVarnames && signature.varnames[static_cast<std::size_t>(nvarnames)])
        nvarnames++;
    std::snprintf(trace, sizeof trace, "%s.%s", module_info.full_name, signature.qualname);
    *definitions_tail = this;
    definitions_tail = &next;
}

FunctionDef* find_definition(const char* qualname) noexcept {
    for (FunctionDef* d = definitions_head; d; d = d->next) {
        if (std::strcmp(d->signature.qualname, qualname) != 0) continue;
        const Signature& sig = d->signature;
        if (sig.argcount > kMaxArgs || sig.required > sig.argcount || sig.argcount > d->nvarnames ||
            !d->code) {
            PyErr_Format(PyExc_SystemError, "bad definition of function %s", qualname);
            return nullptr;
        }
        return d;
    }
    PyErr_Format(PyExc_SystemError, "no definition of function %s", qualname);
    return nullptr;
}

int set_text_slot(PyObject** slot, PyObject* value, const char* message) noexcept {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    Py_XSETREF(*slot, Py_NewRef(value));
    return 0;
}

namespace {
Ref new_function(FunctionDef& def, PyTypeObject* type) noexcept {
    FunctionObject* f = PyObject_GC_New(FunctionObject, type ? type : state.function_type);
    if (!f) return {};
    f->vectorcall = function_vectorcall;
    f->def = &def;
    f->qualname = PyUnicode_FromString(def.signature.qualname);
    f->module = Py_NewRef(state.module_name);
    f->globals = Py_XNewRef(running_globals());
    f->code = Py_XNewRef(def.code);
    f->name = nullptr;
    f->doc = Py_XNewRef(def.doc_object);
    f->dict = nullptr;
    f->defaults = nullptr;
    f->kwdefaults = nullptr;
    f->annotations = nullptr;
    f->is_coroutine = nullptr;
    f->weakreflist = nullptr;
    f->call_defaults = nullptr;
    PyObject_GC_Track(f);
    Ref function = steal(reinterpret_cast<PyObject*>(f));
    if (!f->qualname) return {};
    return function;
}
}  // namespace

Ref define(FunctionDef& def, Handle annotations, Handle defaults, PyTypeObject* type) noexcept {
    if (PyErr_Occurred()) return {};
    if (type && !PyType_IsSubtype(type, state.function_type)) {
        PyErr_Format(PyExc_TypeError, "%s is not a subtype of %s", type->tp_name,
                     state.function_type->tp_name);
        return {};
    }
    Ref function = new_function(def, type);
    if (!function) return {};
    FunctionObject* f = as_function(function.ptr());
    if (annotations) f->annotations = Py_NewRef(annotations.ptr());
    if (defaults) {
        f->defaults = Py_NewRef(defaults.ptr());
        f->call_defaults = Py_NewRef(defaults.ptr());
    }
    return function;
}

Ref define(const char* qualname, Handle annotations, Handle defaults) noexcept {
    if (PyErr_Occurred()) return {};
    FunctionDef* d = find_definition(qualname);
    if (!d) return {};
    return define(*d, annotations, defaults);
}

int def(const char* qualname, Handle annotations, Handle defaults) noexcept {
    if (PyErr_Occurred()) return -1;
    FunctionDef* d = find_definition(qualname);
    if (!d) return -1;
    // The name a definition binds is its own interned name.
    Ref function = define(*d, annotations, defaults);
    if (!function) return -1;
    PyObject* globals = running_globals();
    if (!globals) {
        PyErr_SetString(PyExc_SystemError, "no module globals: the module body never ran");
        return -1;
    }
    return PyDict_SetItem(globals, d->name_object, function.ptr());
}

}  // namespace frame
