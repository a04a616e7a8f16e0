"""The adaptive JIT compile-threshold policy."""
