"""What importing zarn_sdk.redis.redis_wrapper does: the names it binds and in which order,
the host default fixed from REDIS_HOST, failed imports, the logger, and no side effects."""

import json
import os
import typing

import orjson
import pytest
import redis

import zarn_sdk.logging.logger as kit_logging
import zarn_sdk.redis.redis_wrapper as rw

from helpers import SIGNATURES

MODULE = "zarn_sdk.redis.redis_wrapper"
BOUND_NAMES = [
    "orjson", "os", "threading", "atexit", "queue", "Any", "Optional", "Union",
    "redis", "get_logger", "logger", "RedisWrapper",
]


def _is_dunder(name):
    return name.startswith("__") and name.endswith("__")


def _reported(proc):
    """The JSON value that the child printed last."""
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


def test_namespace_holds_exactly_the_bound_names_in_import_order():
    names = list(vars(rw))
    dunders = [n for n in names if _is_dunder(n)]
    assert names[: len(dunders)] == dunders, "dunder names must come before the bound names"
    assert names[len(dunders):] == BOUND_NAMES
    assert rw.__name__ == MODULE and rw.__spec__.name == MODULE
    assert isinstance(rw.__doc__, str) and rw.__doc__.strip() and "\n" not in rw.__doc__.strip()


def test_bound_names_are_the_real_collaborators():
    import atexit, queue, threading  # noqa: E401

    expected = {
        "orjson": orjson, "os": os, "threading": threading, "atexit": atexit, "queue": queue,
        "Any": typing.Any, "Optional": typing.Optional, "Union": typing.Union,
        "redis": redis, "get_logger": kit_logging.get_logger,
    }
    for name, obj in expected.items():
        assert getattr(rw, name) is obj, name
    assert rw.RedisWrapper.__module__ == MODULE


@pytest.mark.parametrize(
    "env, unset, expected",
    [({}, ["REDIS_HOST"], "localhost"), ({"REDIS_HOST": ""}, [], ""),
     ({"REDIS_HOST": "10.9.8.7"}, [], "10.9.8.7"), ({"REDIS_HOST": "cache-host.internal"}, [], "cache-host.internal")],
    ids=["unset", "empty", "address", "name"],
)
def test_host_default_is_fixed_from_the_environment_at_import(run_python, env, unset, expected):
    code = f"""
import inspect, json, os
import zarn_sdk.redis.redis_wrapper as m
R = m.RedisWrapper
before = R.__init__.__defaults__
os.environ["REDIS_HOST"] = "changed-after-import"
w = R(thread=False)
pool_host = w._redis_client.connection_pool.connection_kwargs["host"]
sig_host = inspect.signature(R.__init__).parameters["host"].default
holders = [k for k, v in vars(m).items() if v in ({expected!r}, "changed-after-import")]
print(json.dumps([before, R.__init__.__defaults__, pool_host, sig_host, hasattr(m, "REDIS_HOST"), holders]))
"""
    defaults = [expected if p.name == "host" else p.default for p in SIGNATURES["__init__"].params]
    assert _reported(run_python(code, env=env, unset=unset)) == [defaults, defaults, expected, expected, False, []]


FAILING_IMPORTS = {
    "orjson-import-error": ("orjson.py", "raise ImportError('orjson is unavailable here')",
                            "ImportError", "orjson is unavailable here"),
    "redis-import-error": ("redis.py", "raise ImportError('redis is unavailable here')",
                           "ImportError", "redis is unavailable here"),
    "redis-raises-other": ("redis.py", "raise RuntimeError('redis broke while importing')",
                           "RuntimeError", "redis broke while importing"),
}


@pytest.mark.parametrize("case", FAILING_IMPORTS, ids=list(FAILING_IMPORTS))
def test_failing_dependency_fails_the_import_and_a_later_import_succeeds(run_python, tmp_path, case):
    filename, body, exc_type, message = FAILING_IMPORTS[case]
    (tmp_path / filename).write_text(body + "\n")
    code = f"""
import json, sys
sys.path.insert(0, {str(tmp_path)!r})
try:
    import zarn_sdk.redis.redis_wrapper
    outcome = None
except BaseException as e:
    outcome = (type(e).__name__, str(e))
left = ({MODULE!r} in sys.modules, hasattr(sys.modules.get("zarn_sdk.redis"), "redis_wrapper"))
sys.path.remove({str(tmp_path)!r})
sys.modules.pop({filename[:-3]!r}, None)
import zarn_sdk.redis.redis_wrapper as m
print(json.dumps([outcome, left, m.RedisWrapper.__qualname__]))
"""
    assert _reported(run_python(code)) == [[exc_type, message], [False, False], "RedisWrapper"]


# A missing module of the import sequence: the same ModuleNotFoundError, with a note that
# says what to install. A finder ahead of the others makes the module unfindable, as when it
# is not installed; a module missing further down (inside a dependency) gets no note.
MISSING_MODULES = {
    "orjson": ("orjson", "orjson", "pip install orjson"),
    "redis": ("redis", "redis", "pip install redis"),
    "logger-package": ("zarn_sdk.logging", "zarn_sdk.logging", "zarn-sdk-logger-standin"),
    "logger-module": ("zarn_sdk.logging.logger", "zarn_sdk.logging.logger", "zarn-sdk-logger-standin"),
    "inside-orjson": ("orjson_needs_this", "orjson_needs_this", None),
}


@pytest.mark.parametrize("case", MISSING_MODULES, ids=list(MISSING_MODULES))
def test_missing_module_fails_with_its_own_error_and_a_note_on_what_to_install(run_python, tmp_path, case):
    hidden, reported, hint = MISSING_MODULES[case]
    (tmp_path / "orjson.py").write_text("import orjson_needs_this\n")
    code = f"""
import json, sys
class Hide:
    def find_spec(self, name, path=None, target=None):
        if name == {hidden!r}:
            raise ModuleNotFoundError(f"No module named {{name!r}}", name=name)
sys.meta_path.insert(0, Hide())
if {case!r} == "inside-orjson":
    sys.path.insert(0, {str(tmp_path)!r})
try:
    import zarn_sdk.redis.redis_wrapper
    print(json.dumps(None))
except BaseException as e:
    print(json.dumps([type(e).__name__, e.name, str(e), getattr(e, "__notes__", [])]))
"""
    kind, name, message, notes = _reported(run_python(code))
    assert [kind, name, message] == ["ModuleNotFoundError", reported, f"No module named {reported!r}"]
    if hint is None:
        assert notes == []
    else:
        assert len(notes) == 1 and hint in notes[0] and "zarn_sdk.redis.redis_wrapper" in notes[0]


# A stand-in for the kit's logging module, put into sys.modules before the import.
_FAKE_LOGGING = """
import json, sys, types
calls = []
fake = types.ModuleType("zarn_sdk.logging.logger")
boom = LookupError("logger setup failed")
sentinel = object()
def get_logger(*args, **kwargs):
    calls.append((args, kwargs))
    if MODE == "raise" and len(calls) == 1:
        raise boom
    return sentinel
if MODE != "missing":
    fake.get_logger = get_logger
sys.modules["zarn_sdk.logging.logger"] = fake
def attempt():
    try:
        import zarn_sdk.redis.redis_wrapper as m
        return m, None
    except BaseException as e:
        return None, e
"""


def test_get_logger_is_called_once_with_redis_and_its_result_is_the_logger(run_python):
    code = "MODE = 'ok'\n" + _FAKE_LOGGING + """
m, err = attempt()
import importlib
importlib.import_module("zarn_sdk.redis.redis_wrapper")
print(json.dumps([repr(err), calls, m.logger is sentinel, m.get_logger is get_logger]))
"""
    assert _reported(run_python(code)) == ["None", [[["REDIS"], {}]], True, True]


def test_get_logger_raising_fails_the_import_with_that_exception_and_retry_runs_again(run_python):
    code = "MODE = 'raise'\n" + _FAKE_LOGGING + """
m1, err = attempt()
left = "zarn_sdk.redis.redis_wrapper" in sys.modules
m2, err2 = attempt()
print(json.dumps([repr(m1), err is boom, left, repr(err2), len(calls), m2.logger is sentinel]))
"""
    assert _reported(run_python(code)) == ["None", True, False, "None", 2, True]


def test_missing_get_logger_fails_like_a_from_import_statement(run_python):
    code = "MODE = 'missing'\n" + _FAKE_LOGGING + """
m, err = attempt()
try:
    exec("from zarn_sdk.logging.logger import get_logger")
except ImportError as e:
    ref = e
print(json.dumps([repr(m), type(err).__name__, str(err) == str(ref), err.name, calls,
                  "zarn_sdk.redis.redis_wrapper" in sys.modules]))
"""
    assert _reported(run_python(code)) == ["None", "ImportError", True, "zarn_sdk.logging.logger", [], False]


def test_import_starts_no_thread_and_opens_no_socket(run_python):
    code = """
import json, os, socket, threading
made, connects = [], []
class Watched(socket.socket):
    def __init__(self, *a, **k):
        made.append(a)
        super().__init__(*a, **k)
    def connect(self, *a):
        connects.append(a)
        return super().connect(*a)
socket.socket = Watched
tasks = len(os.listdir("/proc/self/task"))
threads = threading.enumerate()
import zarn_sdk.redis.redis_wrapper
print(json.dumps([repr(made), repr(connects), threading.enumerate() == threads,
                  len(os.listdir("/proc/self/task")) - tasks]))
"""
    assert _reported(run_python(code, env={"REDIS_HOST": "127.0.0.1"})) == ["[]", "[]", True, 0]
