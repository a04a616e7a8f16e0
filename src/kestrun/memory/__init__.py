"""Memory-management primitives: atomics, the free-block tree, slabs and buckets."""
