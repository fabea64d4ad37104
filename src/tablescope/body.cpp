// The module body of orveksdk.tablescope, run once by the execute step.
#include "tablescope/state.hpp"

namespace tablescope {

using frame::global;

frame::Flow body(frame::Body& here) noexcept {
    // import sqlalchemy
    DO(frame::import_as(n::sqlalchemy, n::sqlalchemy));
    // from sqlalchemy import inspect
    DO(frame::from_import(n::sqlalchemy, {&n::inspect}));
    // import pandas as pd
    DO(frame::import_as(n::pandas, n::pd));
    // import os
    DO(frame::import_as(n::os, n::os));
    // import pickle
    DO(frame::import_as(n::pickle, n::pickle));
    // import logging
    DO(frame::import_as(n::logging, n::logging));
    // from datetime import datetime, timedelta
    DO(frame::from_import(n::datetime, {&n::datetime, &n::timedelta}));
    // from sqlalchemy import create_engine, inspect
    DO(frame::from_import(n::sqlalchemy, {&n::create_engine, &n::inspect}));
    // from sqlalchemy.exc import SQLAlchemyError
    DO(frame::from_import(n::sqlalchemy_exc, {&n::SQLAlchemyError}));

    // logging.basicConfig(level=logging.INFO, format="%(asctime)s - %(levelname)s - %(message)s")
    DO(global(n::logging).attr(n::basicConfig).call_kw({global(n::logging).attr(n::INFO), t::log_format},
                                                       kw_level_format));

    // class MySQLDatabaseTableScope:
    frame::PlainClassStatement cls;
    DO(cls.begin(n::MySQLDatabaseTableScope, t::class_qualname));
    //     def __init__(self, username, password, host, database, cache_path=".", cache_file="db_cache.pkl"): ...
    DO(frame::def(cls, "MySQLDatabaseTableScope.__init__", {}, tuples.init_defaults));
    //     def connect(self): ...
    DO(frame::def(cls, "MySQLDatabaseTableScope.connect"));
    //     def prepare_data(self): ...
    DO(frame::def(cls, "MySQLDatabaseTableScope.prepare_data"));
    //     def print_table_schemas(self): ...
    DO(frame::def(cls, "MySQLDatabaseTableScope.print_table_schemas"));
    DO(frame::bind(n::MySQLDatabaseTableScope, cls.create()));

    // __test__ = {}
    DO(frame::bind(n::test, frame::dict({})));
    RETURN_NONE;
}

}  // namespace tablescope
