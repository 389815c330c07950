"""``python -m vorlan``: the ``vorlan`` command."""

import sys

from .cli import main

sys.exit(main())
