"""A delegate that records every callback, for the tests (lumora_kit.testing.Recorder)."""

from lumora_kit.testing import CALLBACKS, Recorder  # noqa: F401
