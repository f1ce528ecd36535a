"""The public face of RedisWrapper: class attributes, the eleven methods with their names,
docstrings, defaults, annotations and signatures, binding, call-shape errors (compared with
a Python function of the same signature) and the exact-type argument checks."""

import inspect
import os
import types

import pytest
from hypothesis import given, settings, strategies as st

import zarn_sdk.redis.redis_wrapper as rw

R = rw.RedisWrapper
MODULE = "zarn_sdk.redis.redis_wrapper"
HOST = os.environ.get("REDIS_HOST", "localhost")  # the conftest imported the module with this
REQUIRED = object()


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

# name: ([(parameter, annotation, default)], return annotation, docstring)
TABLE = {
    "__init__": ([("thread", "bool", True), ("host", "str", HOST), ("port", "int", 6379),
                  ("workers", "int", 2)], None, None),
    "_shutdown_executor": ([], None, None),
    "_worker_loop": ([], None, None),
    "_write_": ([("data", "dict", REQUIRED), ("redis_key", "str", REQUIRED),
                 ("ttl", "Optional[int]", None)], "bool",
                doc("", 8, "Internal function that is executed in background thread", 8, "Args:",
                    12, "data,", 12, "redis_key:", 8, "Returns:", "", 8, "")),
    "write_zarn_data": ([("data", "Optional[dict]", REQUIRED), ("redis_key", "str", REQUIRED),
                         ("ttl", "Optional[int]", None)], "bool",
                        doc("", 8, "Write video frame to the target redis key. If data is None, deletes the key.",
                            8, "Args:", 16, "data: Data dict to write, or None to delete the key.",
                            16, "redis_key(str): Target redis key.",
                            16, "ttl(int): Optional time-to-live in seconds.", 8, "")),
    "delete_data": ([("redis_key", "str", REQUIRED)], "bool",
                    doc("Delete data from the target redis location", "", 8, "Args:",
                        12, "redis_key(str): Target redis key.", 8, "")),
    "delete_many": ([("redis_keys", "list", REQUIRED)], "int",
                    doc("Delete multiple keys in a single Redis command.", "", 8, "Args:",
                        12, "redis_keys(list): List of Redis keys to delete.", "", 8, "Returns:",
                        12, "int: Number of keys that were deleted.", 8, "")),
    "scan_keys": ([("pattern", "str", REQUIRED)], "list",
                  doc("Return all existing keys matching a glob pattern using SCAN (non-blocking).", "",
                      8, "Args:", 12, "pattern(str): Redis glob pattern, e.g. ``'redis_<node_id>_*'``.", "",
                      8, "Returns:", 12, "list: List of matching key strings.", 8, "")),
    "write_data": ([("redis_key", "str", REQUIRED), ("data", "Union[str, dict]", REQUIRED),
                    ("ttl", "Optional[int]", None)], "bool",
                   doc("Write data to the target redis location", "", 8, "Args:",
                       12, "redis_key(str): Target redis key.", 12, "data(str): Data to be written.", 8, "")),
    "read_data": ([("redis_key", "str", REQUIRED)], "Any",
                  doc("Read data from the target redis location", "", 8, "Args:",
                      12, "redis_key(str): Target redis key.", 8, "")),
    "read_zarn_data": ([("redis_key", "str", REQUIRED)], None,
                       doc("Read video frame from a given redis key", "", 8, "Args:",
                           12, "redis_key(str): Target redis key.", 8, "")),
}
NAMES = list(TABLE)


def reference(name):
    """A pure-Python function with the method's signature, qualname, module and docstring."""
    params, returns, docstring = TABLE[name]
    ns, parts = {"__name__": MODULE}, ["self"]
    for i, (param, annotation, default) in enumerate(params):
        text = f"{param}: {annotation!r}"
        if default is not REQUIRED:
            ns[f"_default{i}"] = default
            text += f" = _default{i}"
        parts.append(text)
    arrow = f" -> {returns!r}" if returns else ""
    exec(f"def {name}({', '.join(parts)}){arrow}:\n    pass\n", ns)
    func = ns[name]
    func.__qualname__ = "RedisWrapper." + name
    func.__doc__ = docstring
    return func


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
    for attr in ("__name__", "__qualname__", "__module__", "__doc__", "__defaults__", "__kwdefaults__"):
        assert getattr(method, attr) == getattr(ref, attr), attr
    assert method.__kwdefaults__ is None
    assert type(method.__defaults__) is type(ref.__defaults__)
    assert list(method.__annotations__.items()) == list(ref.__annotations__.items())
    assert all(type(v) is str for v in method.__annotations__.values())
    assert inspect.signature(method) == inspect.signature(ref)
    assert str(inspect.signature(method)) == str(inspect.signature(ref))


def test_init_defaults_and_annotation_edges():
    assert R.__init__.__defaults__ == (True, HOST, 6379, 2)
    assert "return" not in R.__init__.__annotations__
    assert R._worker_loop.__annotations__ == {} and R._worker_loop.__defaults__ is None
    assert R.read_zarn_data.__annotations__ == {"redis_key": "str"}
    assert R.__init__.__doc__ is None and R._shutdown_executor.__doc__ is None


@pytest.mark.parametrize("name", NAMES)
def test_instance_access_gives_a_bound_method_of_the_class_attribute(w, name):
    bound = getattr(w, name)
    assert isinstance(bound, types.MethodType)
    assert bound.__func__ is vars(R)[name] and bound.__self__ is w
    assert bound == getattr(w, name)
    sig = inspect.signature(bound)
    assert sig == inspect.signature(getattr(REF_SELF, name))
    assert vars(R)[name].__get__(None, R) is vars(R)[name]


def _error(call):
    try:
        call()
    except TypeError as e:
        return str(e)
    return None


def _shapes(name):
    """Call shapes that do not fit the signature: (positional count, keyword names)."""
    names = [p for p, _, _ in TABLE[name][0]]
    n = len(names)
    shapes = [(k, ()) for k in range(n + 3)]
    shapes += [(0, (p,)) for p in names] + [(0, ("bogus",)), (0, ("self",)), (n, ("bogus",))]
    shapes += [(n + 1, ("bogus",)), (n + 2, ())]
    shapes += [(k, (names[j],)) for k in range(1, n + 1) for j in range(k)]
    shapes += [(0, tuple(reversed(names))), (0, (*names[1:], "bogus"))]
    return shapes


def _compare(ours, ref, args, kwargs):
    expected = _error(lambda: ref(*args, **kwargs))
    if expected is None:
        return False  # the shape fits; the method would run
    with pytest.raises(TypeError) as excinfo:
        ours(*args, **kwargs)
    assert str(excinfo.value) == expected
    return True


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("via", ["instance", "class-with-instance", "class-without-instance"])
def test_call_shape_errors_match_cpython(w, name, via):
    compared = 0
    for count, keywords in _shapes(name):
        args = [f"value{i}" for i in range(count)]
        kwargs = {k: f"kw-{k}" for k in keywords}
        if via == "instance":
            compared += _compare(getattr(w, name), getattr(REF_SELF, name), args, kwargs)
        elif via == "class-with-instance":
            compared += _compare(getattr(R, name), getattr(REF_CLASS, name), [w, *args], kwargs)
        else:
            compared += _compare(getattr(R, name), getattr(REF_CLASS, name), args, kwargs)
    assert compared >= 5


CALL_SITES = {
    "non-str-keyword": lambda f, p: f(**{1: "x"}),
    "parameter-in-two-kwargs": lambda f, p: f(**{p: "a"}, **{p: "b"}),
    "unknown-in-two-kwargs": lambda f, p: f(**{"bogus": 1}, **{"bogus": 2}),
    "self-in-kwargs": lambda f, p: f(**{"self": "s", p: "x"}),
    "positional-and-kwargs": lambda f, p: f("a", "b", "c", "d", "e", **{p: "x"}),
    "star-args": lambda f, p: f(*("a",) * 6),
}


@pytest.mark.parametrize("site", CALL_SITES, ids=list(CALL_SITES))
@pytest.mark.parametrize("name", NAMES)
def test_star_call_errors_match_cpython(w, name, site):
    param = (TABLE[name][0] or [("bogus", None, None)])[0][0]
    call = CALL_SITES[site]
    expected = _error(lambda: call(getattr(REF_SELF, name), param))
    assert expected is not None
    assert _error(lambda: call(getattr(w, name), param)) == expected


@settings(max_examples=150, deadline=None)
@given(
    name=st.sampled_from(NAMES),
    count=st.integers(0, 6),
    keywords=st.lists(st.sampled_from(["self", "thread", "host", "port", "workers", "data", "redis_key",
                                       "redis_keys", "ttl", "pattern", "bogus"]), unique=True, max_size=4),
    via_class=st.booleans(),
)
def test_random_call_shapes_match_cpython(name, count, keywords, via_class):
    w = R(thread=False, host="127.0.0.1", port=1)
    args = [f"value{i}" for i in range(count)]
    kwargs = {k: f"kw-{k}" for k in keywords}
    if via_class:
        _compare(getattr(R, name), getattr(REF_CLASS, name), [w, *args], kwargs)
    else:
        _compare(getattr(w, name), getattr(REF_SELF, name), args, kwargs)


# ---- exact-type checks -------------------------------------------------------------------

class IntSub(int):
    pass


class StrSub(str):
    pass


class DictSub(dict):
    pass


class ListSub(list):
    pass


LongName = type("L" * 250, (int,), {})

INT_BAD = [(True, "bool"), (False, "bool"), (IntSub(5), "IntSub"), (None, "NoneType"),
           (2.0, "float"), ("6379", "str"), (LongName(1), "L" * 200)]
OPT_INT_BAD = [v for v in INT_BAD if v[0] is not None]
STR_BAD = [(None, "NoneType"), (StrSub("k"), "StrSub"), (b"k", "bytes"), (1, "int")]
DICT_BAD = [(None, "NoneType"), (DictSub(a=1), "DictSub"), ([("a", 1)], "list")]
OPT_DICT_BAD = [v for v in DICT_BAD if v[0] is not None]
LIST_BAD = [(None, "NoneType"), (("a",), "tuple"), (ListSub(["a"]), "ListSub"), ({"a"}, "set")]
BAD = {"int": INT_BAD, "Optional[int]": OPT_INT_BAD, "str": STR_BAD, "dict": DICT_BAD,
       "Optional[dict]": OPT_DICT_BAD, "list": LIST_BAD}
GOOD = {"thread": False, "host": "127.0.0.1", "port": 1, "workers": 2, "data": {"a": 1},
        "redis_key": "k", "ttl": None, "redis_keys": ["k"], "pattern": "k*"}
EXPECTED_TYPE = {"int": "int", "Optional[int]": "int", "str": "str", "dict": "dict",
                 "Optional[dict]": "dict", "list": "list"}

TYPE_CASES = [
    (name, param, value, annotation, got)
    for name in NAMES
    for param, annotation, _ in TABLE[name][0]
    if annotation in BAD
    for value, got in BAD[annotation]
]


def _message(param, annotation, got):
    return f"Argument '{param}' has incorrect type (expected {EXPECTED_TYPE[annotation]}, got {got})"


@pytest.mark.parametrize("name, param, value, annotation, got", TYPE_CASES,
                         ids=[f"{c[0]}-{c[1]}-{c[4][:12]}" for c in TYPE_CASES])
def test_refused_argument_types(w, name, param, value, annotation, got):
    kwargs = {p: GOOD[p] for p, _, _ in TABLE[name][0]}
    kwargs[param] = value
    if name == "__init__":
        fresh = R.__new__(R)
        with pytest.raises(TypeError) as excinfo:
            fresh.__init__(**kwargs)
        assert vars(fresh) == {}, "nothing may be set when an argument is refused"
    else:
        with pytest.raises(TypeError) as excinfo:
            getattr(w, name)(**kwargs)
    assert str(excinfo.value) == _message(param, annotation, got)


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


@pytest.mark.parametrize("name, kwargs", [
    ("write_data", {"redis_key": "k", "data": object()}),
    ("write_data", {"redis_key": "k", "data": ["list"]}),
    ("write_zarn_data", {"data": None, "redis_key": "k"}),
    ("write_zarn_data", {"data": {}, "redis_key": "k", "ttl": -3}),
    ("_write_", {"data": {}, "redis_key": "", "ttl": 10**30}),
])
def test_unchecked_and_optional_arguments_pass_the_checks(w, log, name, kwargs):
    try:
        getattr(w, name)(**kwargs)
    except Exception as e:  # the body may fail (no server); the argument checks must not
        assert not str(e).startswith("Argument '"), e
