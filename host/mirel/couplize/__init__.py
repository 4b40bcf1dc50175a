"""Swap insertion: the engine modules and the host-facing plugin live in this package.

`verify(original, routed, graph)` checks any routed circuit against its original (see
`mirel.couplize.verification`).
"""

from mirel.couplize.verification import Verdict, verify

__all__ = ["Verdict", "verify"]
