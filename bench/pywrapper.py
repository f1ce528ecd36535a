"""RedisWrapper's behaviour written in plain Python, the yardstick for the module's own cost: the
exact-type checks, the queueing policy (queue without waiting, drop the oldest when full, write
synchronously as a last resort), the worker loop and the failure log lines, in the module's order."""

import atexit
import os
import queue
import socket
import threading
import traceback

import orjson
import redis

from zarn_sdk.logging.logger import get_logger

logger = get_logger("REDIS")
HOST = os.environ.get("REDIS_HOST", "localhost")


def _wrong_type(name: str, expected: str, value: object) -> TypeError:
    return TypeError(f"Argument '{name}' has incorrect type (expected {expected}, got {type(value).__name__})")


def _give_redis8_timeouts(pool):
    """redis-py 8.2's socket timeouts and keepalive for a pool of redis-py's own whose
    connections would open without them (redis-py before 8)."""
    kwargs = getattr(pool, "connection_kwargs", None)
    if type(kwargs) is not dict:
        return
    try:
        probe = pool.connection_class(**kwargs)
    except Exception:
        return
    def missing(name):
        value = getattr(probe, name, True)
        return value is None or value is False

    for name, value in (("socket_timeout", 5), ("socket_connect_timeout", 5), ("socket_keepalive", True)):
        if missing(name):
            kwargs[name] = value
    if missing("socket_keepalive"):
        kwargs.setdefault("socket_keepalive_options", {getattr(socket, k): v for k, v in (
            ("TCP_KEEPIDLE", 30), ("TCP_KEEPINTVL", 5), ("TCP_KEEPCNT", 3)) if hasattr(socket, k)})


class PyWrapper:
    def __init__(self, thread=True, host=HOST, port=6379, workers=2):
        if type(host) is not str:
            raise _wrong_type("host", "str", host)
        if type(port) is not int:
            raise _wrong_type("port", "int", port)
        if type(workers) is not int:
            raise _wrong_type("workers", "int", workers)
        self._use_thread = thread
        pool = redis.ConnectionPool(host=host, port=port, max_connections=max(workers * 5, 10),
                                    decode_responses=False)
        _give_redis8_timeouts(pool)
        self._redis_client = redis.StrictRedis(connection_pool=pool)
        self._queue = self._worker = None
        self._stop_evt = threading.Event()
        if not self._use_thread:
            return
        self._queue = queue.Queue(maxsize=max(workers, 1))
        self._worker = threading.Thread(target=self._worker_loop, name="RedisWrapperWorker", daemon=True)
        self._worker.start()
        atexit.register(self._shutdown_executor)

    def _shutdown_executor(self):
        try:
            self._stop_evt.set()
            if self._worker is not None:
                self._worker.join(timeout=0.5)
            self._queue, self._use_thread = None, False
        except Exception:
            pass

    def _worker_loop(self):
        while not self._stop_evt.is_set():
            try:
                item = self._queue.get(timeout=0.2)
            except queue.Empty:
                continue
            redis_key = None
            try:
                data, redis_key, ttl = item
                self._write_(data, redis_key, ttl)
            except Exception as err:
                shown = redis_key if isinstance(redis_key, str) else repr(item)
                try:
                    logger.error(f"Failed to write data to redis`{shown}` - {err}")
                except Exception:  # a failing logger must not end the worker either
                    traceback.print_exc()
            finally:
                try:
                    self._queue.task_done()
                except Exception:
                    pass

    def _write_(self, data, redis_key, ttl=None):
        if type(data) is not dict:
            raise _wrong_type("data", "dict", data)
        if type(redis_key) is not str:
            raise _wrong_type("redis_key", "str", redis_key)
        if ttl is not None and type(ttl) is not int:
            raise _wrong_type("ttl", "int", ttl)
        payload = orjson.dumps(data)
        try:
            return True if self._redis_client.set(redis_key, payload, ex=ttl) else False
        except Exception as err:
            logger.error(f"Failed to write data to redis`{redis_key}` - {err}")
            return False

    def write_zarn_data(self, data, redis_key, ttl=None):
        if data is not None and type(data) is not dict:
            raise _wrong_type("data", "dict", data)
        if type(redis_key) is not str:
            raise _wrong_type("redis_key", "str", redis_key)
        if ttl is not None and type(ttl) is not int:
            raise _wrong_type("ttl", "int", ttl)
        if data is None:
            return True if self.delete_data(redis_key) else False
        if self._use_thread:
            q = self._queue
            if q is not None:
                item = (data, redis_key, ttl)
                try:
                    q.put_nowait(item)
                    return True
                except queue.Full:
                    pass
                try:  # drop the oldest record; the worker may have emptied the queue meanwhile
                    q.get_nowait()
                    q.task_done()
                except Exception:
                    pass
                try:
                    q.put_nowait(item)
                    return True
                except Exception:  # other writers took the freed place: write it now
                    pass
        return True if self._write_(data, redis_key, ttl) else False

    def delete_data(self, redis_key):
        if type(redis_key) is not str:
            raise _wrong_type("redis_key", "str", redis_key)
        return True if self._redis_client.delete(redis_key) else False

    def delete_many(self, redis_keys):
        if type(redis_keys) is not list:
            raise _wrong_type("redis_keys", "list", redis_keys)
        if not redis_keys:
            return 0
        removed = self._redis_client.delete(*redis_keys)
        if removed is not None and type(removed) is not int:
            raise TypeError(f"Expected int, got {type(removed).__name__}")
        return removed

    def scan_keys(self, pattern):
        if type(pattern) is not str:
            raise _wrong_type("pattern", "str", pattern)
        return [k.decode() if isinstance(k, bytes) else k for k in self._redis_client.scan_iter(match=pattern)]

    def write_data(self, redis_key, data, ttl=None):
        if type(redis_key) is not str:
            raise _wrong_type("redis_key", "str", redis_key)
        if ttl is not None and type(ttl) is not int:
            raise _wrong_type("ttl", "int", ttl)
        # The client's set is taken before the encoding, as the module does.
        set_value = self._redis_client.set
        if isinstance(data, dict):
            data = orjson.dumps(data)
        return True if set_value(redis_key, data, ex=ttl) else False

    def read_data(self, redis_key):
        if type(redis_key) is not str:
            raise _wrong_type("redis_key", "str", redis_key)
        return self._redis_client.get(redis_key)

    def read_zarn_data(self, redis_key):
        if type(redis_key) is not str:
            raise _wrong_type("redis_key", "str", redis_key)
        try:
            value = self.read_data(redis_key=redis_key)
            if not isinstance(value, bytes):
                return value
            return orjson.loads(value)
        except Exception as err:
            logger.warning(f"Failed to get redis frame from {redis_key} - {err}")
            return None
