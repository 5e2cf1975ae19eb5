#!/usr/bin/python3
"""devtools/devctl.py: control of a running development server; runs kvdev.devctl (usage there)."""
import runpy

runpy.run_module("kvdev.devctl", run_name="__main__", alter_sys=True)
