"""Running the analysis tool's coroutines without an event loop."""


def drive(coroutine):
    """Runs a coroutine that never suspends (the tool's, with no callback or
    one that never waits) to its end; returns its value. Works inside a
    running event loop and without one."""
    try:
        coroutine.send(None)
    except StopIteration as stop:
        return stop.value
    raise RuntimeError("the coroutine suspended")
