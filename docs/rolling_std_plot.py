"""Draws docs/images/rolling_std.png: pandas' rolling standard deviation of a
price series with one bad tick beside tallix's, over the constant stretch
that follows it. The documentation site draws the same figure afresh
(docs/hooks.py).

    python docs/rolling_std_plot.py   # needs matplotlib (requirements-dev.txt)
"""

from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
from matplotlib.figure import Figure  # noqa: E402

import tallix_companion.pandas  # noqa: E402,F401  (registers .exact)

OUT = Path(__file__).resolve().parent / "images" / "rolling_std.png"
WINDOW = 20


def prices() -> pd.DataFrame:
    """Two-decimal prices, one bad tick of 1e6, then a stretch at one price."""
    rng = np.random.default_rng(17)
    walk = np.round(100 + np.cumsum(rng.normal(0, 0.5, 60)), 2)
    values = np.concatenate([walk, [1e6], walk[-3:], [walk[-1]] * 60])
    return pd.DataFrame({"price": values})


def figure() -> Figure:
    frame = prices()
    theirs = frame.rolling(WINDOW).std()["price"]
    ours = frame.exact.rolling(WINDOW).std()["price"]
    spike = int(np.argmax(frame["price"].to_numpy()))
    fig = Figure(figsize=(8, 6))
    top, bottom = fig.subplots(2, 1, sharex=True, height_ratios=[1, 2])
    top.plot(frame.index, frame["price"], color="0.3", lw=1)
    top.set_yscale("log")
    top.set_ylabel("price")
    top.set_title(f"rolling({WINDOW}).std() after one bad tick, then a constant stretch")
    after = frame.index >= spike + 3 + WINDOW  # windows wholly in the constant stretch
    bottom.plot(frame.index[after], theirs[after], color="tab:red", lw=2, label="pandas: s.rolling(20).std()")
    bottom.plot(frame.index[after], ours[after], color="tab:blue", lw=2, label="tallix: s.exact.rolling(20).std()")
    bottom.set_yscale("symlog", linthresh=1e-6)
    bottom.set_ylim(-1e-7, 1.0)
    bottom.set_ylabel("standard deviation")
    bottom.set_xlabel("window end")
    bottom.legend(loc="upper right")
    bottom.annotate(
        f"pandas {theirs.iloc[-1]:.3g}, tallix {ours.iloc[-1]:.1f}",
        xy=(frame.index[-1], ours.iloc[-1]),
        xytext=(-240, 30),
        textcoords="offset points",
        arrowprops={"arrowstyle": "->"},
    )
    fig.tight_layout()
    return fig


def main() -> None:
    OUT.parent.mkdir(parents=True, exist_ok=True)
    figure().savefig(OUT, dpi=100)
    print(f"wrote {OUT}")


if __name__ == "__main__":
    main()
