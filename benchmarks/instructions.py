"""Instructions per call of the hot operations, counted with valgrind's callgrind.

Counts are deterministic for one build, so they compare builds on a machine
whose timings are too noisy to: each operation runs n and 2n times in fresh
interpreters, and the difference divided by n is its cost. The cost column
is in calls of the empty compiled method (the timing benchmark's call floor),
after the loop's own cost is taken off both.

    .venv/bin/python benchmarks/instructions.py [operation ...]
"""

from __future__ import annotations

import os
import pathlib
import re
import subprocess
import sys
import tempfile

SETUP = """
from corlith_runtime.core.runtime import policy, spend_book, waiters

class Provider(policy.PolicyProvider):
    pass

provider = Provider()
book = spend_book.SpendBook(cost_cap_usd=2.5, token_cap=100_000, spent_cost_usd=0.3333333333, spent_tokens=41_250)
book.current_depth, book.active_child_count, book.cumulative_child_count = 1, 3, 7
ledger = spend_book.SpendBook()  # uncapped: debits never breach
keys = ("tenant", "region", "order")
waiter = waiters.SignalWaiter("run-1", "approval", "order.updated", {k: f"{k}-value" for k in keys})
payload = {k: f"{k}-value" for k in keys} | {"amount": 120, "attempt": 1}
registry = waiters.InMemoryWaiterRegistry()
for i in range(1000):
    registry._signal_waiters.append(
        waiters.SignalWaiter(f"run-{i}", "approval", "order.updated", {"tenant": "acme", "region": "eu", "order": i}))
unmatched = {"tenant": "acme", "region": "eu", "order": -1, "status": "paid"}
parse_duration = waiters.parse_duration

breached = spend_book.SpendBook(cost_cap_usd=1.0, spent_cost_usd=5.0)  # over its cap: every debit raises

def breach():
    try:
        breached.debit(cost_usd=0.0)
    except spend_book.BudgetExceeded:
        pass

def bad_duration():
    try:
        parse_duration("2h30x")
    except ValueError:
        pass

def resolve():
    coro = registry.resolve_signal(signal_name="order.updated", payload=unmatched)
    try:
        coro.send(None)
    except StopIteration:
        pass
"""

# name: (statement, calls it stands for: per-waiter costs divide by the list's length)
OPERATIONS = {
    "loop": ("None", 1),
    "call floor": ('provider.get_policy("spawn_limits")', 1),
    "parse_duration('2h30m')": ('parse_duration("2h30m")', 1),
    "parse_duration('90')": ('parse_duration("90")', 1),
    "SignalWaiter.matches(3-key)": ('waiter.matches("order.updated", payload)', 1),
    "resolve_signal, per waiter (1,000)": ("resolve()", 1000),
    "SpendBook.to_trace_data": ("book.to_trace_data()", 1),
    "SpendBook.debit": ("ledger.debit(cost_usd=0.0125, tokens=640)", 1),
    "SpendBook.check_can_afford": ("book.check_can_afford(0.25)", 1),
    # Error paths: the raise and the caller's `except` are part of the cost.
    "SpendBook.debit, over the cap": ("breach()", 1),
    "parse_duration('2h30x'), bad unit": ("bad_duration()", 1),
}


def package_root() -> str:
    """Where the modules being counted are installed: the child finds them there alone."""
    from corlith_runtime.core.runtime import spend_book

    return str(pathlib.Path(spend_book.__file__).parents[3])


def instructions(statement: str, loops: int) -> int:
    # Each row is a difference of two whole runs, so both must start alike to
    # the instruction: a fixed hash seed, a script of one name, and no site
    # (a .pth file or a package installed meanwhile changes the start-up).
    script = f"{SETUP}\ndef run(n):\n    for _ in range(n):\n        {statement}\nrun(50)\nrun({loops})\n"
    with tempfile.TemporaryDirectory() as scratch:
        path = pathlib.Path(scratch, "row.py")
        path.write_text(script)
        done = subprocess.run(
            ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", sys.executable, "-S", "-B", "row.py"],
            capture_output=True, text=True, cwd=scratch, check=True,
            env=dict(os.environ, PYTHONHASHSEED="0", PYTHONPATH=ROOT_OF_PACKAGE))
    return int(re.search(r"Collected : (\d+)", done.stderr).group(1))


def per_call(statement: str, calls: int) -> float:
    # Enough iterations that a one-off event (a collection, a resize) in either run is noise.
    loops = 20_000 if calls == 1 else 200
    return (instructions(statement, 2 * loops) - instructions(statement, loops)) / loops


ROOT_OF_PACKAGE = package_root()


def main() -> None:
    chosen = sys.argv[1:] or [name for name in OPERATIONS if name not in ("loop", "call floor")]
    loop = per_call(*OPERATIONS["loop"])
    floor = per_call(*OPERATIONS["call floor"]) - loop
    print(f"call floor: {floor:.0f} instructions (loop {loop:.0f})")
    print(f"{'operation':<40}{'instructions':>14}{'cost in empty-method calls':>28}")
    for name in chosen:
        statement, calls = OPERATIONS[name]
        cost = (per_call(statement, calls) - loop) / calls
        print(f"{name:<40}{cost:>14.0f}{cost / floor:>28.2f}")


if __name__ == "__main__":
    main()
