"""Plain-Python renderings of the compiled modules, kept only as a yardstick.

Each module here has the same names, signatures, annotations, messages and
argument tests as its compiled counterpart, written the way one would write
them in Python, so that ``benchmarks/bench.py`` compares like with like.
Nothing outside ``benchmarks/`` imports them.
"""
