"""Zarn video-processing kit: the parts shipped with the Redis client."""
