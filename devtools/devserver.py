#!/usr/bin/python3
"""devtools/devserver.py: the development management server; runs kvdev.devserver (usage there)."""
import runpy

runpy.run_module("kvdev.devserver", run_name="__main__", alter_sys=True)
