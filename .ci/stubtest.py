"""mypy's stubtest on trelmon and trelmon_tools._native: python .ci/stubtest.py [options].

The stubs describe the three submodules as modules of their own, which type checkers need;
at run time they are attributes of trelmon, not importable by dotted path. stubtest imports
each stub module by its dotted name, so the submodules are entered under those names first.
"""

import sys

import trelmon
from mypy.stubtest import main

for name in trelmon.__all__:
    sys.modules[f"trelmon.{name}"] = getattr(trelmon, name)

sys.argv[1:1] = ["trelmon", "trelmon_tools._native"]
sys.exit(main())
