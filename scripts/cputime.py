#!/usr/bin/env python3
"""Runs a command several times and prints the smallest CPU time (user + system) it took, in
seconds. usage: cputime.py RUNS COMMAND [ARGS...]"""
import resource
import subprocess
import sys

runs = int(sys.argv[1])
best = None
for _ in range(runs):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run(sys.argv[2:], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    t = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    best = t if best is None else min(best, t)
print("%.4f" % best)
