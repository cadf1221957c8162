"""沙盒默认的合成市场: 种子、股票数、日期区间与数据包的结束日 (命令行、演示与各个类共用)。"""

SEED = 7
N_STOCKS = 300
START = "2019-01-01"
END = "2024-12-31"
#: The benchmark package ends here, so that an update has days to fetch.
PACKAGE_END = "2024-06-30"
