"""Per-call timings of tarsk_py side by side with its peers, in one process.

Each case file (bench/cases_*.py) defines CASES: a list of
(name, {implementation: (statement, setup_globals)}) entries. Every
statement is timed with timeit (best of several repeats), and the table shows
nanoseconds per call and the ratio of tarsk_py to each peer (below 1.0 means
tarsk_py is faster).

    python bench/single_call.py [--repeat 7] [--filter dot]
"""
import argparse
import importlib.util
import pathlib
import sys
import timeit


def load_cases():
    here = pathlib.Path(__file__).parent
    cases = []
    for path in sorted(here.glob("cases_*.py")):
        spec = importlib.util.spec_from_file_location(path.stem, path)
        mod = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(mod)
        cases.extend(mod.CASES)
    return cases


def time_statement(stmt, env, repeat):
    timer = timeit.Timer(stmt, globals=env)
    number, elapsed = timer.autorange()  # enough calls for at least 0.2 s
    if elapsed > 1.0:  # very slow peers (sympy): fewer repeats
        repeat = min(repeat, 3)
    best = min(timer.repeat(repeat=repeat, number=number))
    return best / number * 1e9


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--filter", default="")
    args = parser.parse_args()

    rows = []
    for name, impls in load_cases():
        if args.filter not in name:
            continue
        times = {impl: time_statement(stmt, env, args.repeat) for impl, (stmt, env) in impls.items()}
        rows.append((name, times))

    peers = sorted({impl for _, t in rows for impl in t if impl != "tarsk_py"})
    header = f"{'operation':<34}{'tarsk_py ns':>12}" + "".join(
        f"{p + ' ns':>14}{'ratio':>8}" for p in peers)
    print(header)
    print("-" * len(header))
    for name, times in rows:
        own = times.get("tarsk_py")
        line = f"{name:<34}{own:>12.1f}"
        for p in peers:
            if p in times:
                line += f"{times[p]:>14.1f}{own / times[p]:>8.2f}"
            else:
                line += f"{'-':>14}{'-':>8}"
        print(line)
    return 0


if __name__ == "__main__":
    sys.exit(main())
