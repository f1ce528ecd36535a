"""Values of any type, drawn at random, are accepted or refused by the exact-type rules, and
a refused call touches nothing: no client call, no log line, no attribute changed."""

import collections
import ctypes
import datetime
import decimal
import fractions

import pytest
from hypothesis import given, settings, strategies as st

import zarn_sdk.redis.redis_wrapper as rw
from helpers import NAMES, SIGNATURES, LogRecorder, exact_type, outcome, raise_hostile, refusal

R = rw.RedisWrapper

SETTINGS = settings(max_examples=200, deadline=None)


# ---- argument values -----------------------------------------------------------------------

def subclass_instance(base, name):
    return type(name, (base,), {})()


def hostile(base, method):
    return type(f"Hostile{method}", (base,), {method: raise_hostile,
                                              "__hash__": None if method == "__eq__" else raise_hostile})()


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
FITTING = {str: st.text(max_size=4), int: st.integers(), dict: DICTS, list: st.lists(st.text(max_size=2))}


def fitting(param):
    """Values that pass the parameter's check; any value for a parameter that is not checked."""
    if param.name == "thread":  # falsy values: no worker is started
        return st.sampled_from([False, 0, None, "", []])
    check = exact_type(param.annotation)
    if check is None:
        return VALUES
    exact, none_passes = check
    return st.none() | FITTING[exact] if none_passes else FITTING[exact]


def refused_as(param, value):
    """The type name that the refusal of value names as expected, or None when it passes."""
    check = exact_type(param.annotation)
    if check is None or type(value) is check[0] or (check[1] and value is None):
        return None
    return check[0].__name__


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


CHECKED = [n for n in NAMES if SIGNATURES[n].params]


@SETTINGS
@given(name=st.sampled_from(CHECKED), data=st.data())
def test_random_values_are_accepted_or_refused_by_exact_type(name, data):
    params = SIGNATURES[name].params
    wild = data.draw(st.sets(st.sampled_from([p.name for p in params])), "drawn from any type")
    values = {p.name: data.draw(VALUES if p.name in wild and p.name != "thread" else fitting(p), p.name)
              for p in params}
    split = data.draw(st.integers(0, len(params)), "positional")
    keywords = data.draw(st.permutations([p.name for p in params[split:]]), "keyword order")
    args, kwargs = [values[p.name] for p in params[:split]], {p: values[p] for p in keywords}
    refused = next(((p.name, refused_as(p, values[p.name])) for p in params if refused_as(p, values[p.name])), None)

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
        param, expected = refused
        assert result == (TypeError, refusal(param, expected, type_name(type(values[param]))))
        assert client.used == [] and vars(target) == before
    else:
        assert result is None
        assert client.used or name == "__init__" or values.get("redis_keys") == []
