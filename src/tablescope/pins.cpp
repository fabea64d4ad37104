#include "tablescope/pins.hpp"

#include "tablescope/state.hpp"

namespace tablescope::pins {

using frame::Handle;
using frame::Ref;

namespace {
frame::Pin urllib_parse;          // sys.modules["urllib.parse"]
frame::DictPin urllib_parse_names;  // its namespace: quote, quote_from_bytes and the rest
frame::Pin quote;                 // urllib.parse.quote
frame::ClassPin quoter;           // urllib.parse._Quoter, what quote's byte quoter is

frame::Name n_quoter{"_Quoter"};
}  // namespace

Handle quote_as_imported() noexcept {
    Ref module = frame::steal(PyImport_GetModule(n::urllib_parse.ptr()));
    if (!module) {
        PyErr_Clear();
        return {};
    }
    if (!urllib_parse.is(module) || !PyModule_CheckExact(module.ptr())) return {};
    return is_standard_quote(quote) ? Handle(quote) : Handle();
}

bool is_standard_quote(Handle current) noexcept {
    return quote.is(current) && urllib_parse_names.unchanged() && quoter.unchanged();
}

int pin_library_objects() noexcept {
    Ref module = frame::steal(PyImport_GetModule(n::urllib_parse.ptr()));
    if (!module) return PyErr_Occurred() ? -1 : 0;
    urllib_parse.set_module(module, "urllib.parse");
    if (!urllib_parse) return 0;
    PyObject* names = PyModule_GetDict(module.ptr());  // borrowed
    if (quote.set_if_from(frame::borrow(PyDict_GetItemWithError(names, n::quote.ptr())), "urllib.parse",
                          "quote") < 0 ||
        quoter.set_class(frame::borrow(PyDict_GetItemWithError(names, n_quoter.ptr())), "urllib.parse",
                         "_Quoter") < 0 ||
        urllib_parse_names.set_dict(names) < 0)
        return -1;
    return 0;
}

}  // namespace tablescope::pins
