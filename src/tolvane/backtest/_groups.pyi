"""因子分组回测与因子 IC 的原生计算核心。"""

import numpy as np

def group_vwap_daily_return(
    factor_values: np.ndarray,
    market: dict[str, np.ndarray],
    group_num: int = 10,
    total_money: float = 1e8,
    fee: float = 0.0001,
    rule_fee: float = 0.0005,
    lot_size: int = 200,
) -> np.ndarray: ...
def group_vwap_daily_return_with_turnover(
    factor_values: np.ndarray,
    market: dict[str, np.ndarray],
    group_num: int = 10,
    total_money: float = 1e8,
    fee: float = 0.0001,
    rule_fee: float = 0.0005,
    lot_size: int = 200,
) -> tuple[np.ndarray, np.ndarray]: ...
def factor_groups(factor_values: np.ndarray, group_num: int = 10) -> np.ndarray: ...
def daily_rank_correlation(left: np.ndarray, right: np.ndarray) -> np.ndarray: ...
