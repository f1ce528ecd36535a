"""Plain values: write_data and read_data store and return bytes without decoding, pass the
expiry through unchanged, and let every client, server and encoder error reach the caller."""

from collections import OrderedDict

import orjson
import pytest
import redis

from helpers import DictSub, sent


class SetRecorder:
    """Stands in for the redis client's set: records the arguments and answers True."""

    def __init__(self):
        self.calls = []

    def set(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return True


@pytest.fixture
def w(make_wrapper, server):
    return make_wrapper(thread=False, host=server.host, port=server.port)


@pytest.mark.parametrize(
    "data, stored",
    [
        ({"a": 1}, b'{"a":1}'),
        ({"b": [1, 2.5, None, True], "a": {"x": "\u00e9"}},
         b'{"b":[1,2.5,null,true],"a":{"x":"\xc3\xa9"}}'),
        (DictSub(z=1, a=2), b'{"z":1,"a":2}'),
        (OrderedDict(k="v"), b'{"k":"v"}'),
        ({}, b"{}"),
        ("caf\u00e9", b"caf\xc3\xa9"),
        ("", b""),
        (b"\x00\xff{", b"\x00\xff{"),
        (42, b"42"),
    ],
)
def test_write_then_read_returns_stored_bytes(w, raw, data, stored):
    assert w.write_data("k", data) is True
    assert raw.get("k") == stored
    value = w.read_data(redis_key="k")
    assert type(value) is bytes and value == stored


def test_ttl_set_then_removed_by_a_write_without_ttl(w, raw):
    assert w.write_data("k", "v1", ttl=5) is True
    assert 1000 < raw.pttl("k") <= 5000
    assert w.write_data("k", "v2") is True
    assert raw.ttl("k") == -1 and raw.get("k") == b"v2"
    w.write_data("k", {"a": 1}, 100)
    assert w.write_data("k", {"a": 2}, None) is True
    assert raw.ttl("k") == -1 and raw.get("k") == b'{"a":2}'


@pytest.mark.parametrize("ttl", [0, -(2**40)])
@pytest.mark.parametrize("data", ["new", {"n": 1}])
def test_refused_expiry_reaches_the_caller_and_writes_nothing(w, raw, ttl, data):
    raw.set("k", "old")
    with pytest.raises(redis.exceptions.ResponseError, match="invalid expire time"):
        w.write_data("k", data, ttl)
    assert raw.get("k") == b"old" and raw.ttl("k") == -1
    with pytest.raises(redis.exceptions.ResponseError):
        w.write_data("fresh", data, ttl)
    assert raw.exists("fresh") == 0


@pytest.mark.parametrize("ttl", [2**31, 2**40])
def test_large_ttl_reaches_client_and_server_unchanged(w, raw, ttl):
    real_client = w._redis_client
    w._redis_client = rec = SetRecorder()
    w.write_data("k", "v", ttl)
    (_, kwargs), = rec.calls
    assert type(kwargs["ex"]) is int and kwargs["ex"] == ttl
    w._redis_client = real_client
    assert w.write_data("k", "v", ttl) is True
    # The server keeps the full value: no narrowing to 32 bits on the way.
    assert raw.ttl("k") in (ttl, ttl - 1)


@pytest.mark.parametrize(
    "data, error",
    [({1: "a"}, "Dict key must be str"), ({"a": object()}, "not JSON serializable")],
)
def test_unencodable_dict_raises_the_encoder_error(w, raw, data, error):
    raw.config_resetstat()
    with pytest.raises(orjson.JSONEncodeError, match=error):
        w.write_data("k", data)
    assert sent(raw) == {} and raw.exists("k") == 0


def test_a_value_the_client_cannot_send_raises_its_error(w, raw):
    with pytest.raises(redis.exceptions.DataError):
        w.write_data("k", [1, 2])
    assert raw.exists("k") == 0


def test_empty_key_is_a_key(w, raw):
    assert w.write_data("", "v") is True
    assert raw.get("") == b"v" and w.read_data("") == b"v"


def test_read_missing_and_wrong_type(w, raw):
    assert w.read_data("missing") is None
    raw.rpush("list", "x")
    with pytest.raises(redis.exceptions.ResponseError, match="^WRONGTYPE"):
        w.read_data("list")


def test_values_and_keys_beyond_64k_round_trip(w, raw):
    blob = bytes(range(256)) * 300 + b"tail"
    text = "\u00e9" * 40000
    long_key = "k" * (2**16 + 17)
    assert w.write_data("blob", blob) is True
    assert w.read_data("blob") == blob
    assert w.write_data(long_key, text) is True
    assert w.read_data(long_key) == text.encode() and raw.strlen(long_key) == 80000
    big = {"frame": "x" * (2**16 + 5), "n": list(range(5000))}
    assert w.write_data(long_key + "d", big, 60) is True
    assert w.read_data(long_key + "d") == orjson.dumps(big)
