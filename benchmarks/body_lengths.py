"""Lines of each compiled body against its plain-Python rendering.

A body is its C++ function plus the helpers only it uses; helpers several
bodies share are counted once, in their module's total. Lines are those with
code on them (no blanks, no comments, no docstrings), inside the function:
as the Python's `def` line is not counted, neither are a C++ function's
signature, its closing brace, the lines naming its arguments
(`PyObject* self = a[0];`) or its invariants, which only checked builds
compile. The rendering's argument type tests are left out: the binder makes
them before a body runs.

    python benchmarks/body_lengths.py
"""

from __future__ import annotations

import ast
import pathlib
import re

ROOT = pathlib.Path(__file__).resolve().parent.parent
SOURCES = ROOT / "src/corlith_runtime/core/runtime"
BASELINE = ROOT / "benchmarks/baseline"

# module: [(Python name in the rendering, [C++ definitions that make it])], then the shared helpers.
BODIES: dict[str, tuple[list[tuple[str, list[str]]], list[str]]] = {
    "spend_book": ([
        ("BudgetExceeded.__init__", ["budget_exceeded_init"]),
        ("SpendBook.remaining_usd", ["remaining_usd_of", "remaining_usd"]),
        ("SpendBook.remaining_tokens", ["remaining_tokens_of", "remaining_tokens"]),
        ("SpendBook.debit", ["debit", "count_tool"]),
        ("SpendBook.check_depth", ["check_depth"]),
        ("SpendBook.check_fanout", ["check_fanout"]),
        ("SpendBook.check_concurrent", ["check_concurrent"]),
        ("SpendBook.check_can_afford", ["check_can_afford"]),
        ("SpendBook.register_child_spawned", ["register_child_spawned"]),
        ("SpendBook.register_child_completed", ["register_child_completed"]),
        ("SpendBook.from_guards", ["from_guards", "apply_guard", "tighten", "attribute_or", "GuardRule",
                                   "guard_rules"]),
        ("SpendBook.to_trace_data", ["to_trace_data", "OwnMethod", "usd_left", "call_own", "SnapshotEntry",
                                     "snapshot_entries", "snapshot"]),
    ], ["breach"]),
    "waiters": ([
        ("SignalWaiter.matches", ["matches", "matches_plainly", "matches_by_host", "predicate_holds"]),
        ("InMemoryWaiterRegistry.__init__", ["registry_init"]),
        ("InMemoryWaiterRegistry.register_signal_waiter", ["register_signal_waiter"]),
        ("InMemoryWaiterRegistry.register_timer", ["register_timer"]),
        ("InMemoryWaiterRegistry.register_user_input_waiter", ["register_user_input_waiter"]),
        ("InMemoryWaiterRegistry.resolve_signal", ["resolve_signal", "dict_of"]),
        ("InMemoryWaiterRegistry.resolve_user_input", ["resolve_user_input"]),
        ("InMemoryWaiterRegistry.sweep_expired_timers", ["sweep_expired_timers"]),
        ("InMemoryWaiterRegistry.signal_waiter_count", ["signal_waiter_count"]),
        ("InMemoryWaiterRegistry.timer_count", ["timer_count"]),
        ("InMemoryWaiterRegistry.user_input_waiter_count", ["user_input_waiter_count"]),
        ("parse_duration", ["make_duration_units", "AsciiText", "HostText", "in_number", "Number", "to_double",
                            "Total", "unit_of", "parse_text", "parse_duration"]),
    ], ["differs_plainly", "pair_holds", "append_to", "remaining_of", "replace", "count_of"]),
    "spawn": ([
        ("InMemorySpawnDispatcher.__init__", ["dispatcher_init"]),
        ("InMemorySpawnDispatcher.enqueue_children", ["enqueue_children", "stop_after", "mint_child_id"]),
        ("InMemorySpawnDispatcher.collect_results", ["collect_results"]),
        ("_default_noop_child_runner", ["default_noop_child_runner"]),
    ], ["child_record"]),
    "exit_triage": ([
        ("classify_failure", ["classify_failure", "memory_above_zero", "signal_recorded"]),
    ], []),
    "policy": ([
        ("NoOpPolicyProvider.get_runtime_configs", ["no_policies"]),
        ("NoOpPolicyProvider.get_policy", []),
    ], []),
}


STRUCTURE = re.compile(r"^\s*(\}|\};|PyObject\* \w+ = a\[\d+\];|SHELL_INVARIANT\(.*\);)\s*$")


def code_lines(lines: list[str]) -> int:
    if len(lines) > 1:
        lines = lines[1:]  # the signature
    return sum(1 for line in lines
               if line.strip() and not line.strip().startswith("//") and not STRUCTURE.match(line))


def cpp_definition(source: list[str], name: str) -> list[str]:
    """The lines of the top-level definition of `name`, to its closing brace or semicolon."""
    start = re.compile(rf"^(template <.*>\s*)?(\[\[.*\]\]\s*)?[A-Za-z].*\b{re.escape(name)}\b\s*(\(|\{{|\[|=)")
    for i, line in enumerate(source):
        if start.match(line) and not line.rstrip().endswith(";"):
            if i and source[i - 1].startswith("template"):
                i -= 1
            depth, seen = 0, False
            for j in range(i, len(source)):
                depth += source[j].count("{") - source[j].count("}")
                seen |= "{" in source[j]
                if seen and depth == 0:
                    return source[i:j + 1]
        elif re.match(rf"^[A-Za-z][^(]*\b{re.escape(name)}\b\s*(\{{|=|\[).*;$", line):
            return [line]
    raise SystemExit(f"no definition of {name}")


def is_argument_check(node: ast.stmt) -> bool:
    if isinstance(node, ast.Expr) and isinstance(node.value, ast.Call):
        return getattr(node.value.func, "id", "") == "_check_enqueue_args"
    return isinstance(node, ast.If) and "type(" in ast.unparse(node.test) and " is not " in ast.unparse(node.test)


def python_body(tree: ast.Module, qualname: str) -> int:
    scope: list[ast.stmt] = tree.body
    node: ast.AST | None = None
    for part in qualname.split("."):
        node = next(n for n in scope if getattr(n, "name", None) == part)
        scope = node.body  # type: ignore[attr-defined]
    body = [n for n in scope if not is_argument_check(n)]
    if body and isinstance(body[0], ast.Expr) and isinstance(body[0].value, ast.Constant):
        body = body[1:]  # the docstring
    lines: set[int] = set()
    for statement in body:
        lines.update(range(statement.lineno, statement.end_lineno + 1))
    return len(lines)


def main() -> None:
    print(f"{'body':<52}{'C++':>6}{'Python':>8}{'ratio':>8}")
    for module, (bodies, shared) in BODIES.items():
        source = (SOURCES / f"{module}.cpp").read_text().splitlines()
        tree = ast.parse((BASELINE / f"{module}.py").read_text())
        total_cpp = total_py = 0
        for qualname, names in bodies:
            cpp = sum(code_lines(cpp_definition(source, n)) for n in names)
            py = python_body(tree, qualname)
            total_cpp, total_py = total_cpp + cpp, total_py + py
            print(f"{module + '.' + qualname:<52}{cpp:>6}{py:>8}{cpp / py:>8.2f}")
        helpers = sum(code_lines(cpp_definition(source, n)) for n in shared)
        total_cpp += helpers
        if shared:
            print(f"{module + ': shared helpers (' + ', '.join(shared) + ')':<52}{helpers:>6}")
        print(f"{module + ', all bodies':<52}{total_cpp:>6}{total_py:>8}{total_cpp / total_py:>8.2f}\n")


if __name__ == "__main__":
    main()
