"""``python -m kestrun``: which native modules are here, and what this host offers.

Prints one screen: every native module with its state (loaded, not built, or
failed with the error), the Python version and platform, and the host
capabilities when the capability probe is loaded.  ``--json`` prints the same
as JSON.  Nothing here raises: a module that fails to load is reported.
"""

from __future__ import annotations

import argparse
import importlib
import json
import platform
import sys
import time
from typing import Any

from kestrun import NATIVE_MODULES, __version__

PROBE = "kestrun.native.hostprobe"


def module_status(name: str) -> dict[str, Any]:
    """Imports one module and says how that went."""
    try:
        importlib.import_module(name)
    except ModuleNotFoundError as exc:
        if exc.name == name:
            return {"module": name, "status": "not built", "error": None}
        return {"module": name, "status": "failed", "error": f"{type(exc).__name__}: {exc}"}
    except BaseException as exc:  # a broken module must not take the report down
        if isinstance(exc, KeyboardInterrupt):
            raise
        return {"module": name, "status": "failed", "error": f"{type(exc).__name__}: {exc}"}
    return {"module": name, "status": "loaded", "error": None}


def host_capabilities(modules: list[dict[str, Any]]) -> Any:
    """The probe's capability dictionary, or None when the probe is not loaded."""
    if not any(m["module"] == PROBE and m["status"] == "loaded" for m in modules):
        return None
    try:
        return importlib.import_module(PROBE).detect_capabilities()
    except Exception as exc:
        return {"error": f"{type(exc).__name__}: {exc}"}


def collect() -> dict[str, Any]:
    modules = [module_status(name) for name in NATIVE_MODULES]
    return {
        "kestrun": __version__,
        "python": platform.python_version(),
        "implementation": platform.python_implementation(),
        "platform": platform.platform(),
        "modules": modules,
        "capabilities": host_capabilities(modules),
    }


def shown(key: str, value: Any) -> str:
    """A capability as the text report shows it: times readable, empty text visible."""
    try:
        if key == "detected_at" and isinstance(value, float):
            return time.strftime("%Y-%m-%d %H:%M:%S %Z", time.localtime(value))
        if key == "detection_time_ms" and isinstance(value, float):
            return f"{value:.3f}"
    except (OverflowError, OSError, ValueError):
        pass
    return '""' if isinstance(value, str) and not value else str(value)


def render(report: dict[str, Any]) -> str:
    width = max(len(m["module"]) for m in report["modules"])
    lines = [
        f"kestrun {report['kestrun']} native core",
        f"Python {report['python']} ({report['implementation']}) on {report['platform']}",
        "",
        "Native modules:",
    ]
    for m in report["modules"]:
        line = f"  {m['module']:<{width}}  {m['status']}"
        if m["error"]:
            line += f": {m['error']}"
        lines.append(line)
    loaded = sum(m["status"] == "loaded" for m in report["modules"])
    lines.append(f"  {loaded} of {len(report['modules'])} loaded")
    caps = report["capabilities"]
    lines.append("")
    if caps is None:
        lines.append("Host capabilities: not available (the capability probe is not loaded)")
    else:
        lines.append("Host capabilities:")
        if isinstance(caps, dict):
            for key, value in caps.items():
                lines.append(f"  {key}: {shown(key, value)}")
        else:
            lines.append(f"  {caps!r}")
    return "\n".join(lines)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m kestrun", description=__doc__.splitlines()[0])
    parser.add_argument("--json", action="store_true", help="print the report as JSON")
    args = parser.parse_args(argv)
    report = collect()
    if args.json:
        print(json.dumps(report, indent=2, default=repr))
    else:
        print(render(report))
    return 0


if __name__ == "__main__":
    sys.exit(main())
