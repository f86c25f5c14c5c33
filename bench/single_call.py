"""Per-call timings of tarsk_py side by side with its peers, in one process.

Each case file (bench/cases_*.py) defines CASES: a list of
(name, {implementation: (statement, setup_globals)}) entries. Every
statement is timed with timeit (best of several repeats); the table shows
nanoseconds per call and, for each peer, the ratio

    ratio = tarsk_py time / peer time    (below 1 means tarsk_py is faster)

    python bench/single_call.py [--repeat 7] [--filter dot]
    python bench/single_call.py --check

--check times only what the project's own performance targets name (a case
file's TARGETS: (case, reference case, factor), meaning the tarsk_py time of
the case is at most factor times the tarsk_py time of the reference case),
prints each target with its measured factor, and exits with status 1 when
one is missed. Timings of a loaded machine miss targets: check on a quiet
one.
"""
import argparse
import importlib.util
import pathlib
import sys
import timeit

RATIO_NOTE = "ratio = tarsk_py time / peer time, below 1 means tarsk_py is faster"


def load_cases():
    here = pathlib.Path(__file__).parent
    cases, targets = [], []
    for path in sorted(here.glob("cases_*.py")):
        spec = importlib.util.spec_from_file_location(path.stem, path)
        mod = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(mod)
        cases.extend(mod.CASES)
        targets.extend(getattr(mod, "TARGETS", []))
    return cases, targets


def time_statement(stmt, env, repeat):
    timer = timeit.Timer(stmt, globals=env)
    number, elapsed = timer.autorange()  # enough calls for at least 0.2 s
    if elapsed > 1.0:  # very slow peers (sympy): fewer repeats
        repeat = min(repeat, 3)
    best = min(timer.repeat(repeat=repeat, number=number))
    return best / number * 1e9


def format_ratio(r):
    # Two decimals, or two significant digits where those would show 0.00.
    return f"{r:.2f}" if r >= 0.01 else f"{r:.1e}"


def print_table(rows, repeat):
    peers = sorted({impl for _, t in rows for impl in t if impl != "tarsk_py"})
    print(f"Nanoseconds per call, best of {repeat} repeats; {RATIO_NOTE}.")
    header = f"{'operation':<34}{'tarsk_py ns':>12}" + "".join(
        f"{p + ' ns':>14}{'ratio':>8}" for p in peers)
    print(header)
    print("-" * len(header))
    for name, times in rows:
        own = times.get("tarsk_py")
        line = f"{name:<34}{own:>12.1f}"
        for p in peers:
            if p in times:
                line += f"{times[p]:>14.1f}{format_ratio(own / times[p]):>8}"
            else:
                line += f"{'-':>14}{'-':>8}"
        print(line)


def check_targets(cases, targets, repeat):
    by_name = dict(cases)
    own = {}

    def tarsk_ns(name):
        if name not in own:
            stmt, env = by_name[name]["tarsk_py"]
            own[name] = time_statement(stmt, env, repeat)
        return own[name]

    missed = 0
    print("Performance targets: tarsk_py time of the case / tarsk_py time of the reference.")
    print(f"{'case':<34}{'reference':<26}{'factor':>8}{'target':>8}  result")
    for case, reference, factor in targets:
        measured = tarsk_ns(case) / tarsk_ns(reference)
        ok = measured <= factor
        missed += not ok
        print(f"{case:<34}{reference:<26}{measured:>8.2f}{'<= ' + str(factor):>8}  {'met' if ok else 'MISSED'}")
    print(f"{len(targets) - missed} of {len(targets)} targets met")
    return 1 if missed else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--filter", default="")
    parser.add_argument("--check", action="store_true", help="check the performance targets instead")
    args = parser.parse_args()

    cases, targets = load_cases()
    if args.check:
        return check_targets(cases, targets, args.repeat)
    rows = []
    for name, impls in cases:
        if args.filter not in name:
            continue
        times = {impl: time_statement(stmt, env, args.repeat) for impl, (stmt, env) in impls.items()}
        rows.append((name, times))
    print_table(rows, args.repeat)
    return 0


if __name__ == "__main__":
    sys.exit(main())
