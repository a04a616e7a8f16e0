"""Scoring and decision functions of the workload analyser and the orchestrator."""
