"""启动沙盒数据服务: ``python -m tolvane.sandbox [选项]``, 同 ``tolvane sandbox``。"""

import sys

from tolvane.cli import main

sys.exit(main(["sandbox", *sys.argv[1:]]))
