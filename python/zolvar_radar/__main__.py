"""`python -m zolvar_radar`: the same as the `zolvar-radar` command."""

import sys

from .cli import main

sys.exit(main())
