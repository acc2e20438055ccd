"""What every library's Ops shares: operations written the same way for all of them."""

from __future__ import annotations


class FrameOps:
    """Each method prepares its inputs, untimed, and returns the call that is timed.

    Subclasses give `_numeric()`, the table restricted to the numeric columns; scaling and the
    aggregates run on it in every library, since the peers refuse them on string columns.
    """

    def __init__(self, inputs):
        self.inputs = inputs
        self.df = inputs.table

    def multiply(self):
        numeric = self._numeric()
        return lambda: numeric * 1.5

    def sum(self):
        return self._numeric().sum

    def mean(self):
        return self._numeric().mean

    def _numeric(self):
        raise NotImplementedError
