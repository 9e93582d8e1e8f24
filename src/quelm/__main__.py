"""``python -m quelm``: the command-line tool (see :mod:`quelm.cli`)."""

import sys

from quelm.cli import main

if __name__ == "__main__":
    sys.exit(main())
