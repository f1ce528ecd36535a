"""A small typed use of the client; `mypy --strict` checks it against the shipped stubs."""

from typing import Any, Optional

from zarn_sdk.redis.redis_wrapper import RedisWrapper


def publish(client: RedisWrapper, seq: int, ttl: Optional[int]) -> bool:
    frame: dict[str, Any] = {"seq": seq, "detections": []}
    return client.write_zarn_data(frame, f"cam-01:frame:{seq}", ttl)


def newest(client: RedisWrapper, pattern: str) -> Any:
    keys: list[str] = sorted(client.scan_keys(pattern))
    return client.read_zarn_data(keys[-1]) if keys else None


def cleanup(client: RedisWrapper, pattern: str) -> int:
    removed: int = client.delete_many(list(client.scan_keys(pattern)))
    ok: bool = client.delete_data("cam-01:latest") and client.write_data("k", "v", None)
    return removed + int(ok)


def make() -> RedisWrapper:
    return RedisWrapper(thread=False, host="localhost", port=6379, workers=4)
