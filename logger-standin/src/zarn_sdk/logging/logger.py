"""Minimal stand-in for the kit's logger: named loggers that write to stderr."""

import logging
import sys

_FORMAT = "%(asctime)s %(levelname)s %(name)s: %(message)s"


def get_logger(name: str) -> logging.Logger:
    """Return the logger called ``name``, writing to stderr with time, level and name.

    The handler is attached once per name, so repeated calls do not duplicate lines.
    """
    log = logging.getLogger(name)
    if not any(getattr(h, "_zarn_handler", False) for h in log.handlers):
        handler = logging.StreamHandler(sys.stderr)
        handler.setFormatter(logging.Formatter(_FORMAT))
        handler._zarn_handler = True  # type: ignore[attr-defined]
        log.addHandler(handler)
        log.setLevel(logging.INFO)
        log.propagate = False
    return log
