"""``python -m fundkernels``: the same as the ``fundkernels`` command."""

import sys

from fundkernels.cli import main

sys.exit(main())
