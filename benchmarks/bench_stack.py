"""tallix in the Python data stack: threads, Ctrl-C, input kinds, pickling.

Ratios, each measured in this one run:
  threads   throughput of two threads, each extending its own object, over one
  ctrl-c    seconds from SIGINT to KeyboardInterrupt inside a long batch
  inputs    time per value of each input kind over a float64 ndarray
  pickling  pickle.dumps + loads over to_bytes + from_bytes
"""

import pickle
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pandas as pd

import tallix

N = 10**7


def best(f, repeat=5):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        f()
        times.append(time.perf_counter() - t0)
    return min(times)


def threads(cls, data):
    def one():
        cls().extend(data)

    def two():
        ts = [threading.Thread(target=one) for _ in range(2)]
        for t in ts:
            t.start()
        for t in ts:
            t.join()

    return best(one) * 2 / best(two)


def ctrl_c_latency(source):
    # A shell starting this in the background leaves SIGINT ignored, which the
    # child would inherit: it asks for Python's own handler.
    code = f"""if True:
        import signal, time, numpy as np, tallix
        signal.signal(signal.SIGINT, signal.default_int_handler)
        m = tallix.Moments4F64()
        print("ready", flush=True)
        try:
            m.extend({source})
        except KeyboardInterrupt:
            print(time.perf_counter(), flush=True)
    """
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True)
    child.stdout.readline()
    time.sleep(0.5)
    sent = time.perf_counter()
    child.send_signal(signal.SIGINT)
    out, _ = child.communicate(timeout=60)
    return float(out) - sent


def main():
    rng = np.random.default_rng(1)
    a = rng.standard_normal(N) * 2.0 ** rng.integers(-30, 30, N)
    print(
        f"tallix data-stack benchmark, n = {N:,}; python {sys.version.split()[0]}, "
        f"numpy {np.__version__}, pandas {pd.__version__}"
    )
    print("\nthreads: two objects extended by two threads, throughput over one thread")
    for cls in (tallix.SumF64, tallix.MomentsF64):
        print(f"  {cls.__name__ + '.extend':28s} {threads(cls, a):5.2f}x  (goal >= 1.7x)")

    print("\nctrl-c: seconds from SIGINT to KeyboardInterrupt, Moments4F64.extend of")
    for source in ("np.broadcast_to(np.float64(1.5), (10**10,))", "range(10**10)", "(float(i) for i in range(10**10))"):
        print(f"  {source:48s} {ctrl_c_latency(source):6.3f} s")

    print("\ninputs: SumF64.extend, time per value and ratio to the float64 ndarray")
    ints = (a * 1000).astype(np.int64)
    few = a[: N // 10]
    listed = few.tolist()
    kinds = {
        "float64 ndarray": (a, 5),
        "pandas Series (float64)": (pd.Series(a), 5),
        "float32 ndarray": (a.astype(np.float32), 5),
        "int64 ndarray": (ints, 5),
        "strided float64 (every 2nd)": (np.repeat(a, 2)[::2], 5),
        "list of float": (listed, 3),
    }
    base = None
    for name, (x, repeat) in kinds.items():
        t = best(lambda x=x: tallix.SumF64().extend(x), repeat) / len(x)
        base = base or t
        print(f"  {name:32s} {t * 1e9:6.2f} ns  {t / base:5.2f}x")
    t = best(lambda: tallix.SumF64().extend(v for v in listed), 3) / len(listed)
    print(f"  {'generator over that list':32s} {t * 1e9:6.2f} ns  {t / base:5.2f}x")

    try:
        import tallix_companion  # noqa: F401  registers the pickling reducers
    except ImportError:
        return
    print("\npickling: dumps + loads over to_bytes + from_bytes, 10^4 round trips")
    for cls in (tallix.SumF64, tallix.MomentsF64):
        s = cls()
        s.extend(a[:1000])
        raw = best(lambda cls=cls, s=s: [cls.from_bytes(s.to_bytes()) for _ in range(10**4)])
        pick = best(lambda s=s: [pickle.loads(pickle.dumps(s)) for _ in range(10**4)])
        print(f"  {cls.__name__:28s} {pick / raw:5.2f}x  ({pick / 1e4 * 1e6:.2f} us per trip)")


if __name__ == "__main__":
    main()
