#!/usr/bin/python3
"""devtools/demoview.py: the live view of a development server's record;
runs kvdev.demoview (usage there)."""
import runpy

runpy.run_module("kvdev.demoview", run_name="__main__", alter_sys=True)
