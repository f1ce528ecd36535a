"""What the README tells a caller, against the real server: a ttl of 0 or below on each frame
road, NaN and infinity stored as null, and a socket timeout set through redis-py's own
connection options on the module's pool."""

import math

import pytest
import redis

from helpers import drained

REFUSED = "invalid expire time in 'set' command"


@pytest.mark.parametrize("ttl", [0, -5])
@pytest.mark.parametrize("road, result", [("background", True), ("direct", False), ("stopped", False)])
def test_ttl_of_zero_or_below_stores_nothing_and_keeps_the_old_value(request, raw, log, ttl, road, result):
    w = request.getfixturevalue("direct" if road == "direct" else "background")
    if road == "stopped":
        w._shutdown_executor()
    raw.set("k", b"old")
    assert w.write_zarn_data({"a": 1}, "k", ttl) is result
    assert w._queue is None or drained(w._queue)
    assert log.wait_for(1) == [("error", f"Failed to write data to redis`k` - {REFUSED}")]
    assert raw.get("k") == b"old" and raw.ttl("k") == -1
    assert w.write_zarn_data(None, "k", ttl) is True and raw.exists("k") == 0  # ttl unused


@pytest.mark.parametrize("mode", ["direct", "background"])
@pytest.mark.parametrize("value", [math.nan, math.inf, -math.inf])
def test_nan_and_infinity_are_stored_as_null(request, raw, log, mode, value):
    w = request.getfixturevalue(mode)
    assert w.write_zarn_data({"x": value, "n": 1.5}, "f") is True
    assert w.write_data("v", {"x": value}) is True
    assert w._queue is None or drained(w._queue)
    assert (raw.get("f"), raw.get("v")) == (b'{"x":null,"n":1.5}', b'{"x":null}')
    assert w.read_zarn_data("f") == {"x": None, "n": 1.5} and log.lines == []


def test_socket_timeout_set_on_the_pool_ends_a_read_from_a_silent_server(make_wrapper, silent_port, log):
    w = make_wrapper(thread=False, host="127.0.0.1", port=silent_port)
    w._redis_client.connection_pool.connection_kwargs.update(socket_timeout=0.5,
                                                             socket_connect_timeout=0.5)
    with pytest.raises(redis.exceptions.TimeoutError):
        w.read_data("k")
    assert w.read_zarn_data("k") is None
    assert [level for level, _ in log.lines] == ["warning"] and "Timeout" in log.lines[0][1]
