"""``python -m tarnok``: the same as the ``tarnok`` command."""

from .cli import main

raise SystemExit(main())
