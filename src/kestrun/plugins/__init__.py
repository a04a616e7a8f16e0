"""Plug-ins of the runtime."""
