"""``python -m tarnok``: the same as the ``tarnok`` command."""

from ._command import main

raise SystemExit(main())
