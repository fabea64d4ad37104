// The module body of orveksdk.tablescope, run once by the execute step.
#include "frame/function.hpp"
#include "frame/ops.hpp"
#include "orveksdk/tablescope/state.hpp"

namespace tablescope {

using frame::Ref;
using frame::steal;

namespace {

constexpr frame::Where here{"init orveksdk.tablescope"};

// import <module>, bound under `as`
int import_as(const frame::Name& module, const frame::Name& as) {
    Ref imported = frame::import(module);                                 if (!imported) return here.fail();
    if (frame::bind(as, imported) < 0)                                     return here.fail();
    return 0;
}

// class MySQLDatabaseTableScope: with its four methods
int table_scope_class() {
    frame::PlainClassStatement cls;
    if (!cls.begin(t::class_qualname))                                     return here.fail();
    //     def __init__(self, username, password, host, database, cache_path=".", cache_file="db_cache.pkl")
    Ref init = frame::new_function(init_def);                              if (!init) return here.fail();
    frame::set_defaults(init, tuples.init_defaults);
    if (cls.store(n::init, init) < 0)                                      return here.fail();
    //     def connect(self)
    Ref connect = frame::new_function(connect_def);                        if (!connect) return here.fail();
    if (cls.store(n::connect, connect) < 0)                                return here.fail();
    //     def prepare_data(self)
    Ref prepare_data = frame::new_function(prepare_data_def);              if (!prepare_data) return here.fail();
    if (cls.store(n::prepare_data, prepare_data) < 0)                      return here.fail();
    //     def print_table_schemas(self)
    Ref schemas = frame::new_function(print_table_schemas_def);            if (!schemas) return here.fail();
    if (cls.store(n::print_table_schemas, schemas) < 0)                    return here.fail();

    Ref created = cls.create(n::MySQLDatabaseTableScope);                  if (!created) return here.fail();
    if (frame::bind(n::MySQLDatabaseTableScope, created) < 0)              return here.fail();
    return 0;
}

}  // namespace

int body(PyObject*, PyObject*) {
    // import sqlalchemy
    if (import_as(n::sqlalchemy, n::sqlalchemy) < 0)                       return -1;
    // from sqlalchemy import inspect
    if (frame::from_import(n::sqlalchemy, {&n::inspect}) < 0)              return here.fail();
    // import pandas as pd
    if (import_as(n::pandas, n::pd) < 0)                                   return -1;
    // import os
    if (import_as(n::os, n::os) < 0)                                       return -1;
    // import pickle
    if (import_as(n::pickle, n::pickle) < 0)                               return -1;
    // import logging
    if (import_as(n::logging, n::logging) < 0)                             return -1;
    // from datetime import datetime, timedelta
    if (frame::from_import(n::datetime, {&n::datetime, &n::timedelta}) < 0) return here.fail();
    // from sqlalchemy import create_engine, inspect
    if (frame::from_import(n::sqlalchemy, {&n::create_engine, &n::inspect}) < 0) return here.fail();
    // from sqlalchemy.exc import SQLAlchemyError
    if (frame::from_import(n::sqlalchemy_exc, {&n::SQLAlchemyError}) < 0)  return here.fail();

    // logging.basicConfig(level=logging.INFO, format="%(asctime)s - %(levelname)s - %(message)s")
    Ref logging = frame::global(n::logging);                               if (!logging) return here.fail();
    Ref basic_config = frame::getattr(logging, n::basicConfig);            if (!basic_config) return here.fail();
    logging = frame::global(n::logging);                                   if (!logging) return here.fail();
    Ref info = frame::getattr(logging, n::INFO);                           if (!info) return here.fail();
    Ref kwargs = frame::make_dict({{n::level, info}, {n::format, t::log_format}});
    if (!kwargs)                                                           return here.fail();
    Ref configured = frame::call_dict(basic_config, frame::state.empty_tuple, kwargs);
    if (!configured)                                                       return here.fail();

    if (table_scope_class() < 0)                                           return -1;

    // __test__ = {}
    Ref test = steal(PyDict_New());                                        if (!test) return here.fail();
    if (frame::bind(n::test, test) < 0)                                    return here.fail();
    return 0;
}

}  // namespace tablescope
