"""The password never shows in what the package logs, raises or prints."""
import logging
import traceback
import urllib.parse

import pytest

import orveksdk.tablescope as ts

C = ts.MySQLDatabaseTableScope


class Everything(logging.Handler):
    """Every record of every logger, formatted with its traceback."""

    def __init__(self):
        super().__init__(logging.DEBUG)
        self.setFormatter(logging.Formatter("%(name)s %(levelname)s %(message)s"))
        self.texts = []

    def emit(self, record):
        self.texts.append(self.format(record))


@pytest.fixture
def seen():
    handler = Everything()
    root = logging.getLogger()
    level = root.level
    root.setLevel(logging.DEBUG)
    root.addHandler(handler)
    yield handler.texts
    root.removeHandler(handler)
    root.setLevel(level)


def exception_texts(exc):
    texts = ["".join(traceback.format_exception(exc))]
    while exc is not None:
        texts += [str(exc), repr(exc), repr(exc.args)]
        exc = exc.__cause__ or exc.__context__
    return texts


def assert_hidden(password, texts):
    forms = {password, urllib.parse.quote(password, safe="")}
    for text in texts:
        for form in forms:
            assert form not in text, f"password in {text!r}"


@pytest.mark.parametrize("case", ["good login", "special characters", "wrong password",
                                  "locked account", "closed port", "unparsable port",
                                  "unknown host", "bad driver option"])
def test_password_stays_out_of_records_exceptions_and_representations(db, seen, case, tmp_path):
    password = "Tr0ub4dor&3-@:/% secret"
    user = "nobody-" + case.replace(" ", "-")
    host = db.host
    if case == "good login":
        user, password = db.user, db.password
    elif case == "special characters":
        user, password = db.special_user, db.special_password
    elif case == "wrong password":
        user = db.user
    elif case == "locked account":
        user, password = db.refused_user, db.refused_password
    elif case == "closed port":
        host = "127.0.0.1:1"
    elif case == "unparsable port":
        host = "127.0.0.1:port"
    elif case == "unknown host":
        host = "no-such-host.invalid"
    else:
        host = f"{db.host}?ssl_ca=/nonexistent/ca.pem"
    if case in ("unparsable port", "bad driver option"):
        # Refused at construction: the host would carry URL structure.
        with pytest.raises(ValueError) as info:
            C(user, password, host, db.name, str(tmp_path))
        assert_hidden(password, exception_texts(info.value) + seen)
        return
    obj = C(user, password, host, db.name, str(tmp_path))
    texts = [repr(obj), str(vars(obj).keys())]
    try:
        obj.connect()
    except Exception as exc:  # noqa: BLE001 - examined below
        assert case not in ("good login", "special characters")
        texts += exception_texts(exc)
    else:
        assert case in ("good login", "special characters")
        texts += [repr(obj.engine), str(obj.engine.url)]
        try:
            obj.print_table_schemas()
            obj.prepare_data()
        except Exception as exc:  # noqa: BLE001 - examined below
            texts += exception_texts(exc)
    if obj.engine is not None:
        texts += [repr(obj.engine), str(obj.engine.url), repr(obj.engine.pool)]
    assert seen  # something was logged
    assert_hidden(password, texts + seen)
    # the one place the password lives is the URL the object keeps
    assert urllib.parse.quote(password, safe="") in obj.connection_string
