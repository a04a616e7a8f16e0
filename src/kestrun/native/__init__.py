"""Host capability probing."""
