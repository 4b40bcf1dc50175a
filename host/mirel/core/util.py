"""Conversions between the data model and numpy."""

import numpy as np


def circ_to_np(matrix):
    """A data-model `Matrix` (row-major `ComplexNumber` entries) as a complex numpy array."""
    data = matrix.data or []
    values = np.array([complex(entry.re, entry.im) for entry in data], dtype=complex)
    return values.reshape(matrix.nRows, matrix.nCols)
