"""``python -m lumora_kit.server``: the local room server (see lumora_kit.server)."""

import sys

from . import main

sys.exit(main())
