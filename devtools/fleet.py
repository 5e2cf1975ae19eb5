#!/usr/bin/python3
"""devtools/fleet.py: a farm on one machine; runs kvdev.fleet (usage there)."""
import runpy

runpy.run_module("kvdev.fleet", run_name="__main__", alter_sys=True)
