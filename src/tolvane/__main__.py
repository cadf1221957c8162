"""``python -m tolvane <子命令>``, 同 ``tolvane`` 命令。"""

import sys

from tolvane.cli import main

sys.exit(main())
