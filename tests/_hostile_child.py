"""The child process: limits, the call log and crash reports, and the
dispatch to the modes (run through ``_hostile.py MODE ...``)."""

from __future__ import annotations

import faulthandler
import json
import os

from _hostile_base import MEMORY_LIMIT, Log, under_asan, unpack


def _limit_memory() -> None:
    if under_asan():
        return  # the sanitizer reserves terabytes of shadow memory; it has its own limit
    import resource

    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    limit = MEMORY_LIMIT if hard == resource.RLIM_INFINITY else min(MEMORY_LIMIT, hard)
    resource.setrlimit(resource.RLIMIT_AS, (limit, hard))


def child_main(argv: list[str]) -> int:
    log_path = os.environ.get("KESTRUN_CHILD_LOG")
    result_path = os.environ.get("KESTRUN_CHILD_RESULT")
    log = Log(log_path)
    if not under_asan():  # the sanitizer's own report names the faulting native frame
        faulthandler.enable(file=log.fh, all_threads=True)
    timeout = float(os.environ.get("KESTRUN_CHILD_TIMEOUT", "0"))
    if timeout > 5:  # a hang shows where every thread waits, before the parent kills us
        faulthandler.dump_traceback_later(timeout - 3, exit=True, file=log.fh)
    _limit_memory()
    mode, rest = argv[0], argv[1:]
    if mode == "fuzz":
        from _hostile_fuzz import mode_fuzz

        result = mode_fuzz(rest[0], log)
    elif mode == "exit":
        from _hostile_exit import mode_exit

        favoured = unpack(rest[2]) if len(rest) > 2 else None
        result = mode_exit(rest[0].split(","), int(rest[1]), favoured, log)
    elif mode == "reenter":
        from _hostile_reenter import mode_reenter

        result = mode_reenter(rest[0], log)
    elif mode == "leaks":
        from _hostile_refs import mode_leaks

        result = mode_leaks(rest[0], log)
    elif mode == "chain":
        from _hostile_refs import mode_chain

        result = mode_chain(rest[0], unpack(rest[1]), log)
    elif mode == "before-setup":
        from _hostile_setup import mode_before_setup

        result = mode_before_setup(rest[0], unpack(rest[1]), log)
    elif mode == "retry":
        from _hostile_setup import mode_retry

        result = mode_retry(rest[0], int(rest[1]), log)
    elif mode == "code":
        namespace: dict = {"__name__": "__kestrun_child__", "log": log}
        log("running code")
        exec(compile(rest[0], "<reproducer>", "exec"), namespace)
        result = {"done": True}
    else:
        raise SystemExit(f"unknown mode {mode!r}")
    log("finished")
    if result_path:
        with open(result_path, "w", encoding="utf-8") as fh:
            json.dump(result, fh)
    return 0
