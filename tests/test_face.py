"""The public face of RedisWrapper: the class, its eleven methods with the parameters,
defaults and annotations of the stub file, their docstrings and binding, call-shape errors
(compared with a Python function of the same signature) and the exact-type argument checks."""

import inspect
import queue
import types

import pytest
from hypothesis import given, reject, settings, strategies as st

import zarn_sdk.redis.redis_wrapper as rw

from helpers import (NAMES, SIGNATURES, DictSub, IntSub, ListSub, LongName, StrSub, exact_type, outcome,
                     python_def, raise_hostile, refusal)

R = rw.RedisWrapper
MODULE = "zarn_sdk.redis.redis_wrapper"


def doc(*lines):
    """Joins docstring lines; an int before a text is its number of leading spaces."""
    out, indent = [], 0
    for item in lines:
        if isinstance(item, int):
            indent = item
            continue
        out.append(" " * indent + item)
        indent = 0
    return "\n".join(out)


CLASS_DOC = doc("Represents a redis client specified for the containers.", "",
                4, "Args:", 8, "thread(bool): Use threading or not", 8, "host(str): Redis server host",
                8, "port(int): Redis server port", 4, "")

# The docstrings, which the stub does not carry.
DOCS = {
    "__init__": None,
    "_shutdown_executor": None,
    "_worker_loop": None,
    "_write_": doc("", 8, "Internal function that is executed in background thread", 8, "Args:",
                   12, "data,", 12, "redis_key:", 8, "Returns:", "", 8, ""),
    "write_zarn_data": doc("", 8, "Write video frame to the target redis key. If data is None, deletes the key.",
                           8, "Args:", 16, "data: Data dict to write, or None to delete the key.",
                           16, "redis_key(str): Target redis key.",
                           16, "ttl(int): Optional time-to-live in seconds.", 8, ""),
    "delete_data": doc("Delete data from the target redis location", "", 8, "Args:",
                       12, "redis_key(str): Target redis key.", 8, ""),
    "delete_many": doc("Delete multiple keys in a single Redis command.", "", 8, "Args:",
                       12, "redis_keys(list): List of Redis keys to delete.", "", 8, "Returns:",
                       12, "int: Number of keys that were deleted.", 8, ""),
    "scan_keys": doc("Return all existing keys matching a glob pattern using SCAN (non-blocking).", "",
                     8, "Args:", 12, "pattern(str): Redis glob pattern, e.g. ``'redis_<node_id>_*'``.", "",
                     8, "Returns:", 12, "list: List of matching key strings.", 8, ""),
    "write_data": doc("Write data to the target redis location", "", 8, "Args:",
                      12, "redis_key(str): Target redis key.", 12, "data(str): Data to be written.", 8, ""),
    "read_data": doc("Read data from the target redis location", "", 8, "Args:",
                     12, "redis_key(str): Target redis key.", 8, ""),
    "read_zarn_data": doc("Read video frame from a given redis key", "", 8, "Args:",
                          12, "redis_key(str): Target redis key.", 8, ""),
}


def reference(name):
    """A pure-Python function with the method's signature, qualname, module and docstring."""
    return python_def(name, DOCS[name])


REF_CLASS = type("RedisWrapper", (), {n: reference(n) for n in NAMES})
REF_SELF = REF_CLASS()


@pytest.fixture
def w(make_wrapper, dead_port):
    """A direct-mode instance on a port where nothing listens: nothing can reach a server."""
    return make_wrapper(thread=False, host="127.0.0.1", port=dead_port)


def test_class_face():
    assert R.__doc__ == CLASS_DOC
    assert (R.__module__, R.__qualname__, R.__name__) == (MODULE, "RedisWrapper", "RedisWrapper")
    assert R.__bases__ == (object,) and type(R) is type
    assert [k for k, v in vars(R).items() if callable(v)] == NAMES


@pytest.mark.parametrize("name", NAMES)
def test_method_introspection_matches_a_python_function(name):
    method, ref = vars(R)[name], reference(name)
    assert getattr(R, name) is method
    assert type(method) is types.FunctionType and inspect.isfunction(method)
    assert method.__globals__ is vars(rw)
    for attr in ("__name__", "__qualname__", "__module__", "__doc__", "__defaults__", "__kwdefaults__"):
        assert getattr(method, attr) == getattr(ref, attr), attr
    assert method.__kwdefaults__ is None
    assert type(method.__defaults__) is type(ref.__defaults__)
    assert list(method.__annotations__.items()) == list(ref.__annotations__.items())
    assert all(type(v) is str for v in method.__annotations__.values())
    assert inspect.signature(method) == inspect.signature(ref)
    assert str(inspect.signature(method)) == str(inspect.signature(ref))


@pytest.mark.parametrize("name", NAMES)
def test_instance_access_gives_a_bound_method_of_the_class_attribute(w, name):
    bound = getattr(w, name)
    assert isinstance(bound, types.MethodType)
    assert bound.__func__ is vars(R)[name] and bound.__self__ is w
    assert bound == getattr(w, name)
    sig = inspect.signature(bound)
    assert sig == inspect.signature(getattr(REF_SELF, name))
    assert vars(R)[name].__get__(None, R) is vars(R)[name]


def _shapes(name):
    """Call shapes that do not fit the signature: (positional count, keyword names)."""
    names = [p.name for p in SIGNATURES[name].params]
    n = len(names)
    shapes = [(k, ()) for k in range(n + 3)]
    shapes += [(0, (p,)) for p in names] + [(0, ("bogus",)), (0, ("self",)), (n, ("bogus",))]
    shapes += [(n + 1, ("bogus",)), (n + 2, ())]
    shapes += [(k, (names[j],)) for k in range(1, n + 1) for j in range(k)]
    shapes += [(0, tuple(reversed(names))), (0, (*names[1:], "bogus"))]
    return shapes


def _targets(w, name, via):
    """(our callable, the reference, leading arguments) for a call through the instance, the
    class with the instance first, or the class without one."""
    if via == "instance":
        return getattr(w, name), getattr(REF_SELF, name), []
    return getattr(R, name), getattr(REF_CLASS, name), [w] if via == "class" else []


def _misfit_matches(ours, ref, args, kwargs):
    """When the call does not fit the reference, ours raises the same exception with the same
    text; returns whether it did not fit (a call that fits would run the method)."""
    expected = outcome(lambda: ref(*args, **kwargs))
    if expected is not None:
        assert outcome(lambda: ours(*args, **kwargs)) == expected, (args, kwargs)
    return expected is not None


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("via", ["instance", "class", "bare"])
def test_call_shape_errors_match_cpython(w, name, via):
    ours, ref, first = _targets(w, name, via)
    compared = sum(_misfit_matches(ours, ref, [*first, *(f"value{i}" for i in range(count))],
                                   {k: f"kw-{k}" for k in keywords})
                   for count, keywords in _shapes(name))
    assert compared >= 5


CALL_SITES = {
    "non-str-keyword": lambda f, p: f(**{1: "x"}),
    "parameter-in-two-kwargs": lambda f, p: f(**{p: "a"}, **{p: "b"}),
    "unknown-in-two-kwargs": lambda f, p: f(**{"bogus": 1}, **{"bogus": 2}),
    "self-in-kwargs": lambda f, p: f(**{"self": "s", p: "x"}),
    "positional-and-kwargs": lambda f, p: f("a", "b", "c", "d", "e", **{p: "x"}),
    "star-args": lambda f, p: f(*("a",) * 6),
}


@pytest.mark.parametrize("site", CALL_SITES)
@pytest.mark.parametrize("name", NAMES)
def test_star_call_errors_match_cpython(w, name, site):
    param = SIGNATURES[name].params[0].name if SIGNATURES[name].params else "bogus"
    call = CALL_SITES[site]
    expected = outcome(lambda: call(getattr(REF_SELF, name), param))
    assert expected is not None and outcome(lambda: call(getattr(w, name), param)) == expected


# Keyword names that are str subclasses: equal to every text, unable to compare, unable to print.
ODD_NAMES = [type("EqAll", (str,), {"__hash__": str.__hash__, "__eq__": lambda s, o: True}),
             type("EqRaises", (str,), {"__hash__": str.__hash__, "__eq__": raise_hostile}),
             type("StrRaises", (str,), {"__str__": raise_hostile})]
PARAMS = st.sampled_from(sorted({p.name for sig in SIGNATURES.values() for p in sig.params} | {"self", "bogus"}))
KEYWORDS = st.one_of(PARAMS, st.text(max_size=4), st.integers(-2, 2),
                     st.builds(lambda odd, name: odd(name), st.sampled_from(ODD_NAMES), PARAMS))


@settings(max_examples=300, deadline=None)
@given(name=st.sampled_from(NAMES), count=st.integers(0, 7), via=st.sampled_from(["instance", "class", "bare"]),
       first=st.lists(KEYWORDS, max_size=4), second=st.lists(KEYWORDS, max_size=2))
def test_random_call_shapes_raise_what_cpython_raises(name, count, via, first, second):
    w = R(thread=False, host="127.0.0.1", port=1)
    try:  # keywords in two mappings, so one name may come twice
        a, b = {k: f"a-{i}" for i, k in enumerate(first)}, {k: f"b-{i}" for i, k in enumerate(second)}
    except RuntimeError:
        reject()
    ours, ref, args = _targets(w, name, via)
    args = [*args, *(f"v{i}" for i in range(count))]
    _misfit_matches(lambda *p: ours(*p, **a, **b), lambda *p: ref(*p, **a, **b), args, {})


# ---- exact-type checks -------------------------------------------------------------------

# Values of the wrong type for each checked type, with the type name the message gives.
BAD = {
    int: [(True, "bool"), (False, "bool"), (IntSub(5), "IntSub"), (None, "NoneType"), (2.0, "float"),
          ("6379", "str"), (LongName(1), "L" * 200)],
    str: [(None, "NoneType"), (StrSub("k"), "StrSub"), (b"k", "bytes"), (1, "int")],
    dict: [(None, "NoneType"), (DictSub(a=1), "DictSub"), ([("a", 1)], "list")],
    list: [(None, "NoneType"), (("a",), "tuple"), (ListSub(["a"]), "ListSub"), ({"a"}, "set"), ("k", "str")],
}
GOOD = {"thread": False, "host": "127.0.0.1", "port": 1, "workers": 2, "data": {"a": 1},
        "redis_key": "k", "ttl": None, "redis_keys": ["k"], "pattern": "k*"}
TYPE_CASES = [
    pytest.param(name, p.name, value, refusal(p.name, exact.__name__, got), id=f"{name}-{p.name}-{got[:12]}")
    for name in NAMES
    for p in SIGNATURES[name].params
    if (check := exact_type(p.annotation))
    for exact, none_passes in [check]
    for value, got in BAD[exact]
    if not (none_passes and value is None)
]


@pytest.mark.parametrize("name, param, value, message", TYPE_CASES)
def test_refused_argument_types(w, log, name, param, value, message):
    """A refused call does nothing: on a background-mode instance it queues nothing, and on
    the port where nothing listens any attempt to send would fail or be logged instead."""
    kwargs = {p.name: GOOD[p.name] for p in SIGNATURES[name].params}
    kwargs[param] = value
    if name == "__init__":
        w = R.__new__(R)
    else:
        w._use_thread, w._queue = True, queue.Queue(4)
    with pytest.raises(TypeError) as excinfo:
        getattr(w, name)(**kwargs)
    assert str(excinfo.value) == message
    if name == "__init__":
        assert vars(w) == {}, "nothing may be set when an argument is refused"
    else:
        assert w._queue.qsize() == 0 and log.lines == []


@pytest.mark.parametrize("name, call, first", [
    ("__init__", lambda: R(thread=False, host=None, port=None, workers=None), "host"),
    ("__init__", lambda: R(False, "h", "6379", 2.0), "port"),
    ("__init__", lambda: R(workers=True, port=1, host="h", thread=False), "workers"),
    ("_write_", lambda w: w._write_(ttl=True, redis_key=None, data=None), "data"),
    ("_write_", lambda w: w._write_({}, b"k", 1.5), "redis_key"),
    ("write_zarn_data", lambda w: w.write_zarn_data(ttl="1", redis_key=1, data=[]), "data"),
    ("write_data", lambda w: w.write_data(None, None, True), "redis_key"),
    ("write_data", lambda w: w.write_data("k", None, True), "ttl"),
])
def test_checks_run_in_parameter_order(w, name, call, first):
    with pytest.raises(TypeError, match=rf"^Argument '{first}' has incorrect type"):
        call() if name == "__init__" else call(w)
