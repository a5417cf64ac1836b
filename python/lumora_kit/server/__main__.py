"""``python -m lumora_kit.server``: the local room server (see lumora_kit.server)."""

import sys

from . import main

if __name__ == "__main__":  # importing the module (a checker listing modules, say) starts nothing
    sys.exit(main())
