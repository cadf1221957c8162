"""From the data service to a backtest report, top to bottom.

Start the offline sandbox in another terminal, then run this script:

    .venv/bin/tolvane sandbox --port 8765 --api-key demo-key --api-secret demo-secret
    .venv/bin/python examples/factor_backtest.py

The service address and keys come from TOLVANE_BASE_URL, TOLVANE_API_KEY and
TOLVANE_API_SECRET, by default those of the sandbox command above. Everything
the script writes goes to ./example-output/.
"""

import os
from pathlib import Path

import tolvane
from tolvane.backtest import (
    backtest_inputs,
    download_benchmark_package,
    ensure_cjk_font,
    factor_report,
    load_factors,
    run_strategy_backtest_core,
    update_store,
)
from tolvane.backtest.report import format_report

OUTPUT = Path("example-output")

# 1. Connect with the key pair; every request is signed with the secret.
service = tolvane.init(
    os.environ.get("TOLVANE_API_KEY", "demo-key"),
    os.environ.get("TOLVANE_API_SECRET", "demo-secret"),
    base_url=os.environ.get("TOLVANE_BASE_URL", "http://127.0.0.1:8765"),
)
print("quota:", service.get_quota())

# 2. The benchmark package is a ready prepared data store: download it once,
#    then bring it up to date (only the new days are fetched).
store_dir = download_benchmark_package(service.http, OUTPUT / "data" / "benchmark")
store = update_store(store_dir)

# 3. Load the date x stock matrices; they are memory-mapped, nothing is copied.
m = store.load()
close = m["close_price"]
print(f"store: {close.index[0]}..{close.index[-1]}, {close.shape[1]} stocks, {len(m)} matrices")

# 4. A research factor from the service (a narrow date/ukey/value table),
#    placed straight onto the store's axes: "YYYYMMDD" dates, six-digit codes.
alpha1 = load_factors("alpha1", close)

# 5. Weights: among today's CSI 1000 members that can be bought, the top fifth by
#    alpha1's 20-day mean, equally weighted, chosen again after each month's last
#    trading day. The engine trades day T-1's weights on day T at VWAP.
members = m["component_000852.XSHG"] > 0
score = alpha1.rolling(20).mean().where(members & m["can_buy_stock"])
chosen = score.rank(axis=1, pct=True) > 0.8
weights = chosen.div(chosen.sum(axis=1), axis=0)
month_end = ~close.index.str[:6].duplicated(keep="last")
weights = weights[month_end].reindex(close.index).ffill().fillna(0.0)

# 6. Backtest against the three benchmarks in the store; the primary one drives
#    the excess statistics and the charts.
ensure_cjk_font()
result = run_strategy_backtest_core(
    weights,
    **backtest_inputs(m),
    benchmark_dict=store.load_benchmarks(),
    benchmark_names="000852",
    plot_save_path=str(OUTPUT / "alpha1_csi1000.png"),
    strategy_name="alpha1 中证1000 前20% 月调仓",
)
print(format_report(result, "000852"))
print("images:", *result.plot_paths.values())

# 7. The factor itself: IC over 1, 5, 10 and 20 days against returns adjusted for
#    splits and dividends, ten groups traded for real, images and a JSON record.
report = factor_report(alpha1, store, output_dir=OUTPUT / "alpha1_factor", factor_name="alpha1")
print(report.format_text())
tolvane.singleton.reset()
