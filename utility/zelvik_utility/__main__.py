# SPDX-License-Identifier: Apache-2.0
"""python3 -m zelvik_utility: the same as the zelvik-utility command."""

import sys

from .main import main

sys.exit(main())
