#include "trend_kit/pins.hpp"

#include "frame/lookup.hpp"
#include "trend_kit/state.hpp"

namespace trend_kit::pins {

using frame::Handle;
using frame::Ref;

namespace {

// parser.parse(dt)
frame::Pin parser_package;              // dateutil.parser, bound as `parser`
frame::DictPin parser_package_names;    // its namespace, `parse` among it
frame::DictPin parser_names;            // what parse and the parser's methods read (dateutil.parser._parser)
frame::Pin default_parser;              // DEFAULTPARSER there
frame::DictPin default_parser_attributes;
frame::Pin parser_info;                 // DEFAULTPARSER.info: day and year first, the word tables
frame::DictPin parser_info_attributes;
frame::ClassPin parser_class, parser_info_class;
// Every class of dateutil.parser._parser and the classes they hold
// (parser._result): the parser's methods reach them all.
constexpr int kParserClasses = 16;
frame::ClassPin parser_classes[kParserClasses];
int parser_class_count = 0;

// (date - pd.Timestamp("1970-01-01")).days, (dates[i + 1] - dates[i]).days
frame::Pin pandas;
frame::ClassPin timestamp, timedelta;

frame::Name n_parser_module{"dateutil.parser._parser"};
frame::Name n_dict{"__dict__"}, n_module{"__module__"}, n_arrays{"arrays"}, n_DatetimeArray{"DatetimeArray"};
frame::Name n_DEFAULTPARSER{"DEFAULTPARSER"}, n_info{"info"}, n_dayfirst{"dayfirst"}, n_yearfirst{"yearfirst"};
frame::Name n_Timestamp{"Timestamp"};

// A value read while pinning; null (nothing pinned from it) when reading
// failed as a look may.
Ref looked(Ref value, bool& failed) noexcept {
    if (!value && !frame::look_declined()) failed = true;
    return value;
}

// Pins the classes of the parser's namespace, and the classes each holds.
int pin_parser_classes(Handle names) noexcept {
    Py_ssize_t position = 0;
    PyObject *key, *value;
    Ref held[kParserClasses];
    int count = 0;
    while (PyDict_Next(names.ptr(), &position, &key, &value))
        if (PyType_Check(value) && count < kParserClasses) held[count++] = frame::borrow(value);
    for (int i = 0, n = count; i < n; i++) {
        Ref attributes = frame::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(held[i].ptr())));
        if (!attributes) return -1;
        position = 0;
        while (PyDict_Next(attributes.ptr(), &position, &key, &value))
            if (PyType_Check(value) && count < kParserClasses) held[count++] = frame::borrow(value);
    }
    for (int i = 0; i < count; i++) {
        frame::ClassPin& pin = parser_classes[parser_class_count];
        if (pin.set_class(held[i], "dateutil.parser._parser") < 0) return -1;
        // Only the parser's own classes count; a class it merely imported
        // (ValueError's kin) is not its to pin.
        if (pin.ptr() == held[i].ptr()) parser_class_count++;
    }
    return 0;
}

int pin_parse() noexcept {
    Ref parser = frame::global(n::parser);
    if (!parser) return -1;
    parser_package.set_module(parser, "dateutil.parser");
    if (!parser_package) return 0;
    if (parser_package_names.set_dict(PyModule_GetDict(parser.ptr())) < 0) return -1;
    // parse's own namespace, which its code and the parser classes read.
    bool failed = false;
    Ref parse = looked(parser.attr(n::parse).value(), failed);
    Ref names = parse && PyFunction_Check(parse.ptr()) ? frame::borrow(PyFunction_GET_GLOBALS(parse.ptr())) : Ref();
    if (failed) return -1;
    if (!names || parser_names.set_dict(names) < 0) return names ? -1 : 0;
    Ref defaults = frame::borrow(PyDict_GetItemWithError(names.ptr(), n_DEFAULTPARSER.ptr()));
    if (!defaults) return PyErr_Occurred() ? -1 : 0;
    if (parser_class.set_class(frame::borrow(reinterpret_cast<PyObject*>(Py_TYPE(defaults.ptr()))),
                               "dateutil.parser._parser", "parser") < 0)
        return -1;
    if (!parser_class) return 0;
    default_parser.set(defaults);
    if (default_parser_attributes.set_attributes(defaults) < 0) return -1;
    Ref info = looked(defaults.attr(n_info).value(), failed);
    if (failed) return -1;
    if (!info) return 0;
    if (parser_info_class.set_class(frame::borrow(reinterpret_cast<PyObject*>(Py_TYPE(info.ptr()))),
                                    "dateutil.parser._parser", "parserinfo") < 0)
        return -1;
    // Only the default reading of a date: neither day nor year first.
    Ref dayfirst = looked(info.attr(n_dayfirst).value(), failed);
    Ref yearfirst = looked(info.attr(n_yearfirst).value(), failed);
    if (failed) return -1;
    if (dayfirst.ptr() != Py_False || yearfirst.ptr() != Py_False) return 0;
    parser_info.set(info);
    if (parser_info_attributes.set_attributes(info) < 0) return -1;
    return pin_parser_classes(names);
}

int pin_pandas() noexcept {
    Ref pd = frame::global(n::pd);
    if (!pd) return -1;
    pandas.set_module(pd, "pandas");
    if (!pandas) return 0;
    bool failed = false;
    Ref stamp = looked(pd.attr(n_Timestamp).value(), failed);
    Ref series_class = looked(pd.attr(n::Series).value(), failed);
    Ref range_class = looked(pd.attr(n::RangeIndex).value(), failed);
    Ref arrays = looked(pd.attr(n_arrays).value(), failed);
    Ref array_class = arrays ? looked(arrays.attr(n_DatetimeArray).value(), failed) : Ref();
    if (failed) return -1;
    if (timestamp.set_class(stamp, "pandas", "Timestamp") < 0 ||
        series.set_class(series_class, "pandas", "Series") < 0 ||
        range_index.set_class(range_class, "pandas", "RangeIndex") < 0 ||
        datetime_array.set_class(array_class, "pandas", "DatetimeArray") < 0)
        return -1;
    if (!timestamp) return 0;
    // A difference of two Timestamps is pandas' Timedelta; its days are read.
    Ref zero = frame::steal(PyLong_FromLong(0));
    Ref epoch = zero ? looked(stamp(zero), failed) : Ref();
    Ref difference = epoch ? looked(epoch.sub(epoch), failed) : Ref();
    if (failed || !zero) return -1;
    if (!difference) return 0;
    return timedelta.set_class(frame::borrow(reinterpret_cast<PyObject*>(Py_TYPE(difference.ptr()))),
                               "pandas", "Timedelta");
}

}  // namespace

frame::ClassPin series, datetime_array, range_index;

bool parse_as_at_import(Handle parser) noexcept {
    if (!parser_package.is(parser) || !PyModule_CheckExact(parser.ptr()) || !parser_info) return false;
    if (!parser_package_names.unchanged() || !parser_names.unchanged() ||
        !default_parser_attributes.unchanged() || !parser_info_attributes.unchanged())
        return false;
    if (!parser_class.is_type_of(default_parser) || !parser_info_class.is_type_of(parser_info))
        return false;
    for (int i = 0; i < parser_class_count; i++)
        if (!parser_classes[i].unchanged()) return false;
    return true;
}

bool timestamps_as_at_import() noexcept { return timestamp.unchanged() && timedelta.unchanged(); }

bool pandas_as_at_import(Handle pd) noexcept {
    if (!pandas.is(pd) || !PyModule_CheckExact(pd.ptr())) return false;
    // pd.Timestamp, as the statement reads it: the module's own attribute.
    PyObject* stamp = PyDict_GetItemWithError(PyModule_GetDict(pd.ptr()), n_Timestamp.ptr());
    if (!stamp) PyErr_Clear();
    return timestamp.is(stamp) && timestamps_as_at_import();
}

int pin_library_objects() noexcept {
    if (pin_parse() < 0 || pin_pandas() < 0) return -1;
    return 0;
}

}  // namespace trend_kit::pins
