"""Benchmark of tessarin against its peers; run with python bench/run.py."""
