"""Bad input, drawn at random: call shapes raise what CPython raises for a Python function
of the same signature; values of any type are accepted or refused by the exact-type rules
and a refused call touches nothing; errors without text, failing loggers and a missing
client give their documented results."""

import collections
import ctypes
import datetime
import decimal
import fractions
import sys
import threading

import pytest
from hypothesis import given, reject, settings, strategies as st

import zarn_sdk.redis.redis_wrapper as rw
from conftest import LogRecorder, drained, refusal
from test_face import EXPECTED_TYPE, NAMES, R, REF_CLASS, REF_SELF, TABLE
from test_refcounts import BadStr

SETTINGS = settings(max_examples=200, deadline=None)


def outcome(call):
    try:
        call()
    except Exception as e:
        return type(e), str(e)
    return None


# ---- call shapes ---------------------------------------------------------------------------

def fail(*args):
    raise RuntimeError("hostile method called")


# Keyword names that are str subclasses: equal to every text, unable to compare, unable to print.
ODD_NAMES = [type("EqAll", (str,), {"__hash__": str.__hash__, "__eq__": lambda s, o: True}),
             type("EqRaises", (str,), {"__hash__": str.__hash__, "__eq__": fail}),
             type("StrRaises", (str,), {"__str__": fail})]
PARAMS = st.sampled_from(sorted({p for n in NAMES for p, _, _ in TABLE[n][0]} | {"self", "bogus"}))
KEYWORDS = st.one_of(PARAMS, st.text(max_size=4), st.integers(-2, 2),
                     st.builds(lambda odd, name: odd(name), st.sampled_from(ODD_NAMES), PARAMS))


@SETTINGS
@given(name=st.sampled_from(NAMES), count=st.integers(0, 7), via=st.sampled_from(["instance", "class", "bare"]),
       first=st.lists(KEYWORDS, max_size=3), second=st.lists(KEYWORDS, max_size=2))
def test_random_call_shapes_raise_what_cpython_raises(name, count, via, first, second):
    w = R(thread=False, host="127.0.0.1", port=1)
    try:  # keywords in two mappings, so one name may come twice
        a, b = {k: f"a-{i}" for i, k in enumerate(first)}, {k: f"b-{i}" for i, k in enumerate(second)}
    except RuntimeError:
        reject()
    args = [f"v{i}" for i in range(count)]
    ours, ref = (getattr(w, name), getattr(REF_SELF, name)) if via == "instance" else \
        (getattr(R, name), getattr(REF_CLASS, name))
    if via == "class":
        args.insert(0, w)
    expected = outcome(lambda: ref(*args, **a, **b))
    if expected is not None:  # a call that fits would run the method: only misfits compare
        assert outcome(lambda: ours(*args, **a, **b)) == expected


# ---- argument values -----------------------------------------------------------------------

def subclass_instance(base, name):
    return type(name, (base,), {})()


def hostile(base, method):
    return type(f"Hostile{method}", (base,), {method: fail, "__hash__": None if method == "__eq__" else fail})()


# Type names of any length and script: the message cuts them at 200 UTF-8 bytes.
TYPE_NAMES = st.text(st.characters(blacklist_categories=("Cs",), blacklist_characters="\x00"),
                     min_size=1, max_size=250)
DICTS = st.dictionaries(st.text(max_size=3), st.integers(-2**63, 2**63 - 1), max_size=3)
VALUES = st.one_of(
    st.none(), st.booleans(), st.integers(), st.floats(), st.text(max_size=4), st.binary(max_size=4),
    st.lists(st.integers(), max_size=3), st.tuples(st.text(max_size=2)), DICTS,
    st.builds(subclass_instance, st.sampled_from([int, str, bytes, dict, list, float, tuple, object]), TYPE_NAMES),
    st.builds(hostile, st.sampled_from([object, str, int, dict, list]),
              st.sampled_from(["__eq__", "__str__", "__repr__", "__bool__", "__len__", "__index__", "__iter__"])),
    st.sampled_from([collections.OrderedDict(a=1), collections.deque(), decimal.Decimal(1), fractions.Fraction(1),
                     datetime.date(2024, 1, 1), bytearray(b"k"), memoryview(b"k"), range(3), NotImplemented]))
ALLOWED = {"str": {str}, "int": {int}, "dict": {dict}, "list": {list}, "Optional[int]": {int, type(None)},
           "Optional[dict]": {dict, type(None)}}
FITTING = {"str": st.text(max_size=4), "int": st.integers(), "dict": DICTS, "list": st.lists(st.text(max_size=2)),
           "Optional[int]": st.none() | st.integers(), "Optional[dict]": st.none() | DICTS}


def type_name(t):
    """The type's C-level name (tp_name) as "%.200s" prints it: cut at 200 UTF-8 bytes. Read
    from the type object itself (after its ob_refcnt, ob_type and ob_size), because no Python
    attribute gives it on every version: a class statement's type has its short name there,
    and a C type its dotted one (collections.deque became a heap type in 3.13)."""
    name = ctypes.c_char_p.from_address(id(t) + 3 * ctypes.sizeof(ctypes.c_void_p)).value
    return name[:200].decode(errors="replace")


class Recorder:
    """A client without I/O that notes every operation asked of it."""

    def __init__(self):
        self.used = []

    def __getattr__(self, op):
        self.used.append(op)
        return lambda *args, **kwargs: {"set": True, "delete": 1, "scan_iter": iter(())}.get(op)


CHECKED = [n for n in NAMES if TABLE[n][0]]


@SETTINGS
@given(name=st.sampled_from(CHECKED), data=st.data())
def test_random_values_are_accepted_or_refused_by_exact_type(name, data):
    params = TABLE[name][0]
    wild = data.draw(st.sets(st.sampled_from([p for p, _, _ in params])), "drawn from any type")
    values = {p: data.draw(st.sampled_from([False, 0, None, "", []]) if p == "thread" else
                           FITTING[a] if a in FITTING and p not in wild else VALUES, p)
              for p, a, _ in params}
    split = data.draw(st.integers(0, len(params)), "positional")
    keywords = data.draw(st.permutations([p for p, _, _ in params[split:]]), "keyword order")
    args, kwargs = [values[p] for p, _, _ in params[:split]], {p: values[p] for p in keywords}
    refused = next(((p, a) for p, a, _ in params if a in ALLOWED and type(values[p]) not in ALLOWED[a]), None)

    target, log, client = R.__new__(R), LogRecorder(), Recorder()
    if name != "__init__":
        target.__init__(thread=False, host="127.0.0.1", port=1)
        target._redis_client = client
    before = dict(vars(target))
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(rw, "logger", log)
        result = outcome(lambda: getattr(target, name)(*args, **kwargs))
    assert log.lines == []
    if refused:
        param, annotation = refused
        assert result == (TypeError, refusal(param, EXPECTED_TYPE[annotation], type_name(type(values[param]))))
        assert client.used == [] and vars(target) == before
    else:
        assert result is None
        assert client.used or name == "__init__" or values.get("redis_keys") == []


# ---- errors without text, a missing client ----------------------------------------------

class Client:
    """A client whose set and get raise an error without text for the key "bad"; it keeps
    what it is given for the other keys."""

    def __init__(self):
        self.stored = {}

    def set(self, key, value, ex=None):
        if key == "bad":
            raise BadStr()
        self.stored[key] = value
        return True

    def get(self, key):
        raise BadStr()


@pytest.mark.parametrize("call", [lambda w: w._write_({"a": 1}, "bad"), lambda w: w.read_zarn_data("bad")],
                         ids=["_write_", "read_zarn_data"])
def test_an_error_without_text_reaches_a_direct_caller(make_wrapper, log, call):
    w = make_wrapper(thread=False, host="127.0.0.1", port=1)
    w._redis_client = Client()
    with pytest.raises(ValueError, match="^no text$") as excinfo:
        call(w)
    assert type(excinfo.value.__context__) is BadStr and log.lines == []


@pytest.mark.parametrize("where", ["client", "_write_"])
def test_worker_goes_on_past_an_error_without_text(make_wrapper, log, monkeypatch, where):
    unraisable, ended = [], []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: unraisable.append(u.exc_value))
    monkeypatch.setattr(threading, "excepthook", lambda a: ended.append(a.exc_value))
    w = make_wrapper(host="127.0.0.1", port=1, workers=4)
    w._redis_client = client = Client()
    if where == "_write_":  # the worker's own log line cannot be made: the hook gets it
        real = w._write_

        def write(data, key, ttl):
            if key == "bad":
                raise BadStr()
            return real(data, key, ttl)
        w._write_ = write
    for key in ("bad", "next"):
        w._queue.put(({"k": key}, key, None))
    assert drained(w._queue)
    assert client.stored == {"next": b'{"k":"next"}'} and w._worker.is_alive() and ended == []
    if where == "client":  # _write_ raised the str() error, which the worker logged
        assert log.lines == [("error", "Failed to write data to redis`bad` - no text")] and unraisable == []
    else:
        assert log.lines == [] and [(type(e), str(e)) for e in unraisable] == [(ValueError, "no text")]


MISSING = "'RedisWrapper' object has no attribute '_redis_client'"
WRITE_LINE = f"Failed to write data to redis`k` - {MISSING}"
READ_LINE = f"Failed to get redis frame from k - {MISSING}"


@pytest.mark.parametrize("call, result, line", [
    (lambda w: w.write_zarn_data({"a": 1}, "k"), False, ("error", WRITE_LINE)),
    (lambda w: w.read_zarn_data("k"), None, ("warning", READ_LINE)),
    (lambda w: w.write_data("k", "v"), AttributeError, None),
    (lambda w: w.read_data("k"), AttributeError, None),
    (lambda w: w.write_zarn_data(None, "k"), AttributeError, None),
    (lambda w: w.delete_many(["k"]), AttributeError, None),
    (lambda w: w.delete_many([]), 0, None),
    (lambda w: w.scan_keys("*"), AttributeError, None),
], ids=["frame-write", "frame-read", "write_data", "read_data", "frame-delete", "delete_many", "delete-none",
        "scan"])
def test_missing_client(make_wrapper, log, call, result, line):
    w = make_wrapper(thread=False, host="127.0.0.1", port=1)
    del w._redis_client
    if result is AttributeError:
        with pytest.raises(AttributeError, match=f"^{MISSING}$"):
            call(w)
    else:
        got = call(w)
        assert got == result and type(got) is type(result)
    assert log.lines == ([line] if line else [])
