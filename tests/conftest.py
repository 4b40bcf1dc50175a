"""Session-wide test setup."""

import gc


def pytest_unconfigure(config):
    # Hypothesis times the garbage collector through a gc callback that stays installed to the
    # end; at interpreter shutdown it breaks the final collection, so objects in reference cycles
    # outlive the extension modules and nanobind reports them as leaked. Remove it once the
    # session is over, so that a leak report at exit always means a real leak.
    gc.callbacks[:] = [
        callback
        for callback in gc.callbacks
        if not getattr(callback, "__module__", "").startswith("hypothesis")
    ]
