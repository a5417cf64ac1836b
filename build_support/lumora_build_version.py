"""Version of the distribution, marked with the SDK the wheel is built against.

scikit-build-core calls `dynamic_metadata` (declared in pyproject.toml under
[[tool.dynamic-metadata]]) before the build. A build against a vendor SDK
(environment variable LUMORA_SDK_ROOT set and not empty, the same variable
that CMake reads through tool.scikit-build.cmake.define) gets the local
version label "+vendor": "0.1.0+vendor". A build against the stand-in SDK in
sdk/ keeps the plain version. CMakeLists.txt refuses a build whose label does
not match the SDK it is given, so the label cannot lie.
"""

from __future__ import annotations

import os
from collections.abc import Mapping
from typing import Any

VENDOR_LABEL = "vendor"
KEYS = {"field", "base"}


def version_for(base: str, sdk_root: str | None) -> str:
    return f"{base}+{VENDOR_LABEL}" if sdk_root else base


def dynamic_metadata(settings: Mapping[str, Any], project: Mapping[str, Any]) -> dict[str, str]:
    unknown = set(settings) - KEYS
    if unknown:
        raise RuntimeError(f"lumora_build_version: unknown settings {sorted(unknown)}; allowed: {sorted(KEYS)}")
    if settings.get("field") != "version":
        raise RuntimeError("lumora_build_version only provides field = \"version\"")
    base = settings.get("base")
    if not isinstance(base, str) or not base or "+" in base:
        raise RuntimeError("lumora_build_version needs base = \"X.Y.Z\" (a public version, no local label)")
    return {"version": version_for(base, os.environ.get("LUMORA_SDK_ROOT", "").strip())}
