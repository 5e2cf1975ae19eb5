#!/usr/bin/python3
"""devtools/minersim.py: the simulated miner; runs kvdev.minersim (usage there)."""
import runpy

runpy.run_module("kvdev.minersim", run_name="__main__", alter_sys=True)
