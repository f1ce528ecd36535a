"""RedisWrapper to the standard tools, as a container's tests and a developer use them:
unittest.mock's autospec in its three forms, functools.wraps, cProfile, pdb and tracebacks.
The yardstick is a Python class with the same defs (helpers.python_def)."""

import cProfile
import functools
import inspect
import io
import pdb
import pstats
import pydoc
import sys
import traceback
import typing
from unittest import mock

import pytest

import zarn_sdk.redis.redis_wrapper as rw

from helpers import NAMES, outcome, python_def

R = rw.RedisWrapper
GENERATED = f"<{rw.__name__} generated RedisWrapper>"


class Twin:
    """The yardstick: a Python class with the module's defs."""


for _name in NAMES:
    setattr(Twin, _name, python_def(_name))

# (method, args, kwargs): calls that do not fit the signature, and calls that do.
WRONG = [
    ("write_zarn_data", ({"a": 1},), {}),
    ("read_data", ("k", "extra"), {}),
    ("delete_many", (), {"redis_key": ["k"]}),
    ("write_data", ("k",), {"ttl": 5}),
    ("scan_keys", (), {}),
    ("_write_", ({"a": 1}, "k", 5, "extra"), {}),
    ("_worker_loop", ("x",), {}),
]
RIGHT = [
    ("write_zarn_data", ({"a": 1}, "k"), {"ttl": 5}),
    ("read_data", ("k",), {}),
    ("read_zarn_data", (), {"redis_key": "k"}),
    ("delete_many", (["k"],), {}),
    ("write_data", ("k", "v", 3), {}),
    ("scan_keys", ("k*",), {}),
    ("_shutdown_executor", (), {}),
]
CALLS = [pytest.param(*c, id=f"{c[0]}-{'wrong' if c in WRONG else 'right'}") for c in WRONG + RIGHT]


@pytest.fixture
def w(make_wrapper, dead_port):
    return make_wrapper(thread=False, host="127.0.0.1", port=dead_port)


def _same_outcome(ours, twins, args, kwargs):
    """Ours refuses exactly what the twin refuses, with the same error; returns whether the
    call fits."""
    expected = outcome(lambda: twins(*args, **kwargs))
    assert outcome(lambda: ours(*args, **kwargs)) == expected
    return expected is None


@pytest.mark.parametrize("name, args, kwargs", CALLS)
def test_create_autospec_of_an_instance(name, args, kwargs):
    ours, twin = mock.create_autospec(R, instance=True), mock.create_autospec(Twin, instance=True)
    fits = _same_outcome(getattr(ours, name), getattr(twin, name), args, kwargs)
    assert fits == ((name, args, kwargs) in RIGHT)
    assert getattr(ours, name).mock_calls == ([mock.call(*args, **kwargs)] if fits else [])


@pytest.mark.parametrize("name, args, kwargs", CALLS)
def test_patch_object_with_autospec_records_self(w, name, args, kwargs):
    twin = Twin()
    with mock.patch.object(Twin, name, autospec=True) as twin_patched, \
            mock.patch.object(R, name, autospec=True) as patched:
        fits = _same_outcome(getattr(w, name), getattr(twin, name), args, kwargs)
    assert fits == ((name, args, kwargs) in RIGHT)
    assert patched.mock_calls == ([mock.call(w, *args, **kwargs)] if fits else [])
    assert twin_patched.mock_calls == ([mock.call(twin, *args, **kwargs)] if fits else [])


@pytest.mark.parametrize("name, args, kwargs", CALLS)
def test_patch_of_the_class_with_autospec(name, args, kwargs):
    with mock.patch(f"{rw.__name__}.RedisWrapper", autospec=True) as cls:
        made = rw.RedisWrapper(thread=False, host="h")
        fits = outcome(lambda: getattr(made, name)(*args, **kwargs)) is None
        with pytest.raises(TypeError):
            rw.RedisWrapper(False, "h", 1, 2, "extra")
    assert made is cls.return_value
    assert cls.mock_calls[0] == mock.call(thread=False, host="h")
    assert fits == ((name, args, kwargs) in RIGHT)
    assert getattr(made, name).mock_calls == ([mock.call(*args, **kwargs)] if fits else [])


def test_a_patched_sibling_is_what_the_method_calls(w, log):
    """read_zarn_data looks read_data up at every call: a patch on the class is used, and
    records the instance and the keyword call."""
    with mock.patch.object(R, "read_data", autospec=True, return_value=b'{"seq": 1}') as read:
        assert w.read_zarn_data("k") == {"seq": 1}
    read.assert_called_once_with(w, redis_key="k")
    assert log.lines == []


def test_functools_wraps_carries_the_face():
    method = R.write_zarn_data

    @functools.wraps(method)
    def wrapper(*args, **kwargs):
        return method(*args, **kwargs)

    for attr in ("__name__", "__qualname__", "__doc__", "__module__", "__annotations__"):
        assert getattr(wrapper, attr) == getattr(method, attr), attr
    assert inspect.signature(wrapper) == inspect.signature(method)


@pytest.mark.skipif(sys.version_info < (3, 14), reason="__annotate__ exists from Python 3.14")
def test_functools_wraps_carries_annotate_on_3_14():
    @functools.wraps(R.write_zarn_data)
    def wrapper(*args, **kwargs):
        pass

    assert wrapper.__annotate__ is R.write_zarn_data.__annotate__
    assert wrapper.__annotations__ == R.write_zarn_data.__annotations__
    assert typing.get_type_hints(wrapper) == typing.get_type_hints(R.write_zarn_data)


@pytest.mark.parametrize("name", NAMES)
def test_type_hints_and_help(name):
    method = getattr(R, name)
    assert typing.get_type_hints(method) == {k: eval(v, vars(typing)) for k, v in method.__annotations__.items()}
    # help() shows what it shows for a Python function of the same def, whatever this
    # version's pydoc makes of it (3.13 spreads long signatures over lines, 3.14 unquotes
    # string annotations).
    text = pydoc.render_doc(method, renderer=pydoc.plaintext)
    # (__init__ also gets object.__init__'s doc, which pydoc finds through the class.)
    assert text.startswith(pydoc.render_doc(python_def(name, method.__doc__), renderer=pydoc.plaintext))
    assert name + "(" in text
    doc_lines = [line.strip() for line in (method.__doc__ or "").splitlines() if line.strip()]
    assert all(line in text for line in doc_lines)


class FakeClient:
    def get(self, name):
        return b'{"seq": 1}'

    def set(self, name, value, ex=None):
        return True

    def delete(self, *names):
        return len(names)


def test_cprofile_names_each_method(w):
    w._redis_client = FakeClient()
    calls = {"read_zarn_data": lambda: w.read_zarn_data("k"), "read_data": lambda: w.read_data("k"),
             "write_data": lambda: w.write_data("k", "v"), "delete_many": lambda: w.delete_many(["k"]),
             "write_zarn_data": lambda: w.write_zarn_data({"a": 1}, "k")}
    profile = cProfile.Profile()
    profile.runcall(lambda: [call() for call in calls.values()])
    profiled = {name: count for (file, _, name), (count, *_) in pstats.Stats(profile).stats.items()
                if file == GENERATED}
    assert profiled == dict.fromkeys(calls, 1)


def test_pdb_steps_into_a_method_and_back_out(w):
    w._redis_client = FakeClient()
    out = io.StringIO()
    debugger = pdb.Pdb(stdin=io.StringIO("step\n" * 6 + "continue\n"), stdout=out)
    debugger.use_rawinput = False
    caller = sys._getframe().f_code
    result = debugger.runcall(lambda: w.read_data("k"))
    assert result == b'{"seq": 1}'
    text = out.getvalue()
    assert f"{GENERATED}(" in text and "read_data()" in text
    assert "--Return--" in text
    assert caller.co_filename in text.split("--Return--")[-1], "stepped back out to the caller"


@pytest.mark.parametrize("name, call", [
    ("read_data", lambda w: w.read_data(1)),
    ("write_zarn_data", lambda w: w.write_zarn_data({"a": 1}, "k", "ttl")),
    ("delete_data", lambda w: w.delete_data("k")),
])
def test_a_traceback_shows_the_method_and_its_line(w, name, call):
    with pytest.raises(Exception) as excinfo:
        call(w)
    frames = [f for f in traceback.extract_tb(excinfo.value.__traceback__) if f.filename == GENERATED]
    assert frames[0].name == name
    assert frames[0].line, "the generated source is registered with linecache"
    shown = "".join(traceback.format_exception(excinfo.value))
    assert f'File "{GENERATED}", line {frames[0].lineno}, in {name}\n    {frames[0].line}\n' in shown
