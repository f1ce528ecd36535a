"""Key housekeeping: delete_data, delete_many and scan_keys against a real server, with fake
clients only for replies that a server never gives."""

import pytest
import redis

from helpers import BytesSub, LongName, sent


class FakeClient:
    """Stands in for the redis client: records every call and answers with preset replies."""

    def __init__(self, delete_reply=None, scan_items=()):
        self.calls = []
        self.delete_reply = delete_reply
        self.scan_items = scan_items

    def delete(self, *args, **kwargs):
        self.calls.append(("delete", args, kwargs))
        return self.delete_reply

    def scan_iter(self, *args, **kwargs):
        self.calls.append(("scan_iter", args, kwargs))
        for item in self.scan_items:
            if isinstance(item, BaseException):
                raise item
            yield item


@pytest.fixture
def w(make_wrapper, server):
    return make_wrapper(thread=False, host=server.host, port=server.port)


def test_delete_data_true_then_false(w, raw):
    raw.set("k", "v")
    raw.set("other", "v")
    assert w.delete_data("k") is True
    assert raw.exists("k") == 0 and raw.get("other") == b"v"
    assert w.delete_data(redis_key="k") is False
    assert w.delete_data("") is False


@pytest.mark.parametrize(
    "existing, keys, count",
    [
        (["a"], ["a", "b", "c"], 1),
        (["a"], ["a", "a"], 1),
        (["a", "b"], ["b", "a", "b", "x"], 2),
        ([], ["x", "y"], 0),
        ([b"a", b"\xff\x00", "c"], [b"a", b"\xff\x00", "c", b"missing"], 3),
        ([], [], 0),
        ([f"k{i}" for i in range(600)], [f"k{i}" for i in range(700)] + ["k5"], 600),
    ],
)
def test_delete_many_counts_in_one_command(w, raw, existing, keys, count):
    for key in existing:
        raw.set(key, "v")
    raw.set("keep", "v")
    raw.config_resetstat()
    result = w.delete_many(keys)
    assert type(result) is int and result == count
    assert sent(raw).get("del", 0) == (1 if keys else 0)
    if not keys:
        assert sent(raw) == {}, "an empty list must send nothing, not even a connect"
    assert not any(raw.exists(k) for k in set(keys))
    assert raw.get("keep") == b"v"


def test_delete_many_hands_elements_to_the_client_unchanged(w):
    elements = [b"x", 7, object(), "y"]
    w._redis_client = fake = FakeClient(delete_reply=4)
    assert w.delete_many(elements) == 4
    (name, args, kwargs), = fake.calls
    assert name == "delete" and kwargs == {}
    assert len(args) == len(elements) and all(a is e for a, e in zip(args, elements))


@pytest.mark.parametrize(
    "reply, type_name",
    [("3", "str"), (True, "bool"), (3.0, "float"), (b"1", "bytes"), ([1], "list"),
     (LongName(1), "L" * 200)],
)
def test_delete_many_refuses_a_reply_that_is_not_int(w, reply, type_name):
    w._redis_client = FakeClient(delete_reply=reply)
    with pytest.raises(TypeError) as exc:
        w.delete_many(["a"])
    assert str(exc.value) == f"Expected int, got {type_name}"


@pytest.mark.parametrize("reply", [None, 0, 2**70])
def test_delete_many_passes_an_int_or_none_reply_through(w, reply):
    w._redis_client = FakeClient(delete_reply=reply)
    assert w.delete_many(["a"]) is reply


def test_scan_keys_returns_exactly_the_matching_keys_incrementally(w, raw):
    with raw.pipeline(transaction=False) as pipe:
        for i in range(2500):
            pipe.set(f"cam:{i}", i)
        for i in range(1000):
            pipe.set(f"misc:{i}", i)
        pipe.execute()
    raw.config_resetstat()
    keys = w.scan_keys("cam:*")
    assert all(type(k) is str for k in keys)
    assert len(keys) == 2500 and set(keys) == {f"cam:{i}" for i in range(2500)}
    stats = sent(raw)
    assert stats.get("scan", 0) > 1 and "keys" not in stats, stats
    assert sorted(w.scan_keys(pattern="cam:1?")) == [f"cam:{i}" for i in range(10, 20)]
    assert w.scan_keys("nothing*") == []


def test_scan_keys_raises_on_a_key_that_is_not_utf8(w, raw):
    raw.set("good", 1)
    raw.set(b"bad\xff", 1)
    with pytest.raises(UnicodeDecodeError):
        w.scan_keys("*")
    assert w.scan_keys("good") == ["good"]


@pytest.mark.parametrize("pattern", ["", "frame:*"])
def test_scan_keys_converts_only_byte_keys(w, pattern):
    marker = object()
    w._redis_client = fake = FakeClient(
        scan_items=[b"a", "already-text", BytesSub("\u00e9".encode()), 7, marker]
    )
    result = w.scan_keys(pattern)
    assert result == ["a", "already-text", "\u00e9", 7, marker]
    assert type(result[2]) is str and result[4] is marker
    assert fake.calls == [("scan_iter", (), {"match": pattern})]


def test_scan_keys_propagates_an_error_raised_partway(w):
    boom = redis.exceptions.ResponseError("boom")
    w._redis_client = FakeClient(scan_items=[b"a", b"b", boom])
    with pytest.raises(redis.exceptions.ResponseError) as exc:
        w.scan_keys("*")
    assert exc.value is boom
