#!/usr/bin/python3
"""devtools/soak.py: the fault soak; runs kvdev.soak (usage there)."""
import runpy

runpy.run_module("kvdev.soak", run_name="__main__", alter_sys=True)
