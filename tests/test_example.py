"""The walk-through in examples/ runs cleanly and says what the runtime did."""

import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "spawn_tree.py"


def run_example() -> subprocess.CompletedProcess[str]:
    # -W error: a stray "never awaited" coroutine or similar fails the run.
    return subprocess.run(
        [sys.executable, "-W", "error", str(EXAMPLE)],
        capture_output=True, text=True, timeout=120, check=False,
    )


@pytest.fixture(scope="module")
def output():
    proc = run_example()
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr == ""
    return proc.stdout.splitlines()


KEY_LINES = [
    # guards -> caps: the smaller cost wins, warn and unknown guards stay out
    "caps: cost $0.3000, tokens 20000, depth 2, fanout 4, concurrent 4, wall time 600s",
    "dispatcher is a SpawnDispatcher: True",
    # a failing child becomes an error record, the others keep their ids and spend
    "  inmem-run-root-research-0  ok     researcher-a: $0.0400, 800 tok, 3 sources on market size",
    "  inmem-run-root-research-2  error  researcher-c: model provider returned 503",
    "spent $0.1600 of $0.3000, 3200 tokens; children 0 active, 4 total; tool calls {'web_search': 4}",
    # breaches carry their details
    "BudgetExceeded: max_spawn_fanout breached: requested 6 children (cap 4)",
    "  cap_name=max_spawn_fanout cap_value=4.0000 would_be=6.0000",
    # first_success stops after the first child with output
    "  inmem-run-root-write-0  error  writer-1: model provider returned 503",
    "  inmem-run-root-write-1  ok     writer-2: $0.0800, 1500 tok, draft report, 1,200 words",
    "  writer-3: not run (return_when=first_success already satisfied)",
    "BudgetExceeded: tree cost cap breached: spent=$0.3400 > cap=$0.3000",
    "  cap_name=cost_cap_usd cap_value=0.3000 would_be=0.3400",
    "BudgetExceeded: child of $0.0500 wouldn't fit: remaining $0.0000",
    # waiters released by signal match, by the fixed clock and by user input
    "registry is a WaiterRegistry: True",
    "signal order.approved {'order_id': 41}: released [('run-3', 'audit')]",
    "signal order.approved {'order_id': 42, 'approved_by': 'ops'}: released [('run-2', 'approval')]",
    "timer sweep at start: released []",
    "timer sweep 2m later: released [('run-5', 'retry')]",
    "timer sweep 1h30m after that: released [('run-4', 'cooldown')]",
    "user answers run-6/confirm: True",
    "user answers run-6/confirm: False",
    "still waiting: 0",
    "inmem-run-root-research-2: abnormal_exit",
    "run-7: terminated_by_signal",
    "run-8: suspected_oom",
    "run-9: unknown",
    "NoOpPolicyProvider is a PolicyProvider: True; policy 'spawn_limits' = {}",
    "QueueTokens is a TokenSemaphore: True",
    "queue 'heavy' (capacity 1): acquire True, again False, after release True",
]


def test_key_lines(output):
    missing = [line for line in KEY_LINES if line not in output]
    assert not missing, "\n".join(output)


def test_trace_snapshot_is_last_and_complete(output):
    start = output.index("== 8. trace snapshot ==")
    rows = [line.split() for line in output[start + 1:]]
    assert rows == [
        ["cost_cap_usd", "0.3"],
        ["token_cap", "20000"],
        ["max_spawn_depth", "2"],
        ["max_spawn_fanout", "4"],
        ["spent_cost_usd", "0.34"],
        ["spent_tokens", "6200"],
        ["current_depth", "0"],
        ["active_child_count", "0"],
        ["cumulative_child_count", "6"],
        ["remaining_usd", "0.0"],
        ["remaining_tokens", "13800"],
    ]


def test_sections_in_order(output):
    numbers = [line.split()[1] for line in output if line.startswith("== ")]
    assert numbers == [f"{n}." for n in range(1, 9)]


def test_output_is_deterministic(output):
    assert run_example().stdout.splitlines() == output
