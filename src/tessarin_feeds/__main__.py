import sys

from ._entry import main

sys.exit(main())
