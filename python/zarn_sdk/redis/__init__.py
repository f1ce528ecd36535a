"""Redis access for the kit's containers; the client lives in ``redis_wrapper``."""
