"""The log records the package writes, for the tests that compare them."""
import logging


class Records(logging.Handler):
    """The root logger's records: the package's own, not SQLAlchemy's
    (cheaply: thousands of calls)."""

    def __init__(self):
        super().__init__(logging.INFO)
        self.records = []

    def emit(self, record):
        if record.name == "root":
            self.records.append((record.levelname, record.getMessage()))

    def __enter__(self):
        logging.getLogger().addHandler(self)
        return self

    def __exit__(self, *exc):
        logging.getLogger().removeHandler(self)
