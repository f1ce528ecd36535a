"""Helpers shared by the test modules: the methods' signatures read from the shipped stub
file, argument types of the wrong kind, a log recorder and small server-side checks."""

import ast
import os
import pathlib
import threading
import time
from dataclasses import dataclass

import redis

import zarn_sdk.redis.redis_wrapper as rw

REPO = pathlib.Path(__file__).resolve().parent.parent
# The host default that the module fixed when the conftest imported it.
HOST = os.environ.get("REDIS_HOST", "localhost")
REQUIRED = object()  # the default of a parameter that has none


# ---- signatures, from the stub ----------------------------------------------------------

def _stub_under(root: pathlib.Path) -> pathlib.Path | None:
    """The first redis_wrapper.pyi below root, past hidden, build and dist folders."""
    for folder, dirs, files in os.walk(root):
        dirs[:] = sorted(d for d in dirs if not d.startswith(".") and d not in ("build", "dist"))
        if "redis_wrapper.pyi" in files:
            return pathlib.Path(folder, "redis_wrapper.pyi")
    return None


def find_stub() -> pathlib.Path:
    """The stub file: beside the installed module (where type checkers look), else in a stub
    package installed next to it, else anywhere in the checkout."""
    installed = pathlib.Path(rw.__file__).parent
    roots = [installed, *sorted(installed.parent.parent.glob("zarn_sdk*")), REPO]
    for root in roots:
        found = _stub_under(root)
        if found:
            return found
    raise FileNotFoundError(f"redis_wrapper.pyi is in none of {roots}")


STUB = find_stub()


@dataclass(frozen=True)
class Param:
    name: str
    annotation: str | None  # as the runtime has it in __annotations__
    default: object  # REQUIRED when there is none


@dataclass(frozen=True)
class Signature:
    params: list[Param]  # without self
    returns: str | None  # as the runtime has it, None when it has no "return" annotation


class _Erase(ast.NodeTransformer):
    """dict[str, Any] -> dict, list[str] -> list: the runtime's annotations name the builtin
    containers without their item types."""

    def visit_Subscript(self, node):
        self.generic_visit(node)
        if isinstance(node.value, ast.Name) and node.value.id in ("dict", "list"):
            return node.value
        return node


# Where the runtime's annotation is not the stub's with item types erased: write_data's data
# leaves out the bytes that redis-py also takes, and read_zarn_data has no return annotation.
RUNTIME_ANNOTATION = {("write_data", "data"): "Union[str, dict]", ("read_zarn_data", "return"): None}


def _runtime_annotation(method: str, name: str, node: ast.expr | None) -> str | None:
    if (method, name) in RUNTIME_ANNOTATION:
        return RUNTIME_ANNOTATION[method, name]
    if node is None or (isinstance(node, ast.Constant) and node.value is None):
        return None  # "-> None" is not kept at runtime
    return ast.unparse(_Erase().visit(node))


def _default(node: ast.expr) -> object:
    if isinstance(node, ast.Constant) and node.value is Ellipsis:
        return HOST  # the stub's "..." stands for the host default fixed at import
    return ast.literal_eval(node)


def _signatures() -> dict[str, Signature]:
    tree = ast.parse(STUB.read_text())
    (cls,) = [n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "RedisWrapper"]
    out = {}
    for f in (n for n in cls.body if isinstance(n, ast.FunctionDef)):
        args = f.args.args[1:]
        defaults = [REQUIRED] * (len(args) - len(f.args.defaults)) + [_default(d) for d in f.args.defaults]
        params = [Param(a.arg, _runtime_annotation(f.name, a.arg, a.annotation), d) for a, d in zip(args, defaults)]
        out[f.name] = Signature(params, _runtime_annotation(f.name, "return", f.returns))
    return out


SIGNATURES = _signatures()
NAMES = list(SIGNATURES)  # in definition order

def python_def(name: str, doc: str | None = None):
    """The method `name` as a Python def of the stub's signature: qualname, module and doc
    as the module's, its body `pass`."""
    sig = SIGNATURES[name]
    ns, parts = {"__name__": rw.__name__}, ["self"]
    for i, p in enumerate(sig.params):
        text = p.name if p.annotation is None else f"{p.name}: {p.annotation!r}"
        if p.default is not REQUIRED:
            ns[f"_default{i}"] = p.default
            text += f" = _default{i}"
        parts.append(text)
    arrow = f" -> {sig.returns!r}" if sig.returns else ""
    exec(f"def {name}({', '.join(parts)}){arrow}:\n    pass\n", ns)
    func = ns[name]
    func.__qualname__ = "RedisWrapper." + name
    func.__doc__ = doc
    return func


EXACT = {"str": str, "int": int, "dict": dict, "list": list}


def exact_type(annotation: str | None) -> tuple[type, bool] | None:
    """What the argument check demands of an argument so annotated: (the exact type, whether
    None passes too), or None for an annotation that is not checked (bool, Union[...])."""
    inner = annotation
    if annotation and annotation.startswith("Optional[") and annotation.endswith("]"):
        inner = annotation[len("Optional["):-1]
    return (EXACT[inner], inner != annotation) if inner in EXACT else None


def refusal(name: str, expected: str, got: str) -> str:
    """The TypeError text of an argument of the wrong type."""
    return f"Argument '{name}' has incorrect type (expected {expected}, got {got})"


# ---- values of the wrong kind ------------------------------------------------------------

StrSub = type("StrSub", (str,), {})
IntSub = type("IntSub", (int,), {})
DictSub = type("DictSub", (dict,), {})
ListSub = type("ListSub", (list,), {})
BytesSub = type("BytesSub", (bytes,), {})
# A type name longer than the 200 bytes that error messages keep.
LongName = type("L" * 250, (int,), {})


class Halt(BaseException):
    """An interruption that is not an Exception."""


class Undecided:
    """An object whose truth test raises."""

    def __bool__(self):
        raise ValueError("reply has no truth")


def raise_hostile(*args):
    """A special method that refuses to work."""
    raise RuntimeError("hostile method called")


def outcome(call):
    """None when call() returns, else the type and text of the exception it raises."""
    try:
        call()
    except Exception as e:
        return type(e), str(e)
    return None


def error_text(call) -> str:
    """The text of the exception that call() raises."""
    try:
        call()
    except Exception as err:
        return str(err)
    raise AssertionError("expected an exception")


# ---- logging and the server --------------------------------------------------------------

class LogRecorder:
    """Stands in for the module's logger and keeps every line it is given."""

    def __init__(self):
        self._lock = threading.Lock()
        self.lines: list[tuple[str, str]] = []

    def _add(self, level, args, kwargs):
        assert not kwargs and len(args) == 1 and type(args[0]) is str, (args, kwargs)
        with self._lock:
            self.lines.append((level, args[0]))

    def error(self, *args, **kwargs):
        self._add("error", args, kwargs)

    def warning(self, *args, **kwargs):
        self._add("warning", args, kwargs)

    def wait_for(self, count: int, timeout: float = 5.0) -> list[tuple[str, str]]:
        deadline = time.monotonic() + timeout
        while len(self.lines) < count and time.monotonic() < deadline:
            time.sleep(0.01)
        return list(self.lines)


def opened(pool) -> dict:
    """What a connection of the pool opens with and how it retries (made and released without
    connecting)."""
    conn = pool.make_connection()
    try:
        return {k: getattr(conn, k) for k in ("socket_timeout", "socket_connect_timeout",
                                             "socket_keepalive", "socket_keepalive_options", "retry")}
    finally:
        conn.disconnect()


def sent(raw: redis.Redis) -> dict[str, int]:
    """Commands the server ran since the last CONFIG RESETSTAT, by name, without our own INFO."""
    stats = raw.info("commandstats")
    return {
        name[len("cmdstat_"):]: row["calls"]
        for name, row in stats.items()
        if not name.startswith(("cmdstat_info", "cmdstat_config"))
    }


def drained(q, timeout: float = 30.0) -> bool:
    """Waits for q.join() without letting a lost task_done hang the run."""
    t = threading.Thread(target=q.join, daemon=True)
    t.start()
    t.join(timeout)
    return not t.is_alive()
