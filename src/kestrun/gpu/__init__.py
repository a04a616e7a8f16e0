"""GPU memory algorithms."""
