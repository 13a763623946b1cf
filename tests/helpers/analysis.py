"""The analysis tool as plain Python, the oracle the native module is
compared with: the source in pretrain/analyzing_tools.cpp's header, run as
this module. Tests monkeypatch its module attributes the same way as the
native module's."""
from harness.reference import module_source, source_name

exec(compile(module_source("analyzing_tools"), source_name("analyzing_tools"), "exec"))
