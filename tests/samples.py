"""Sample values shared by the document tests."""
import numpy as np

NAN, INF = float("nan"), float("inf")

SPECIAL = np.float32([
    0.03125, -0.03125, 0.09375, -0.15625, 1.03125, 2.96875, 0.5, -0.0, 0.0, -1e-5, -4.9e-5,
    5e-5, 1.5e-4, -2.5e-4, 0.00015, 16777216.0, 16777218.0, -33554436.0, 1e15, -1e20,
    3.4028235e38, -3.4e38, 1e-40, -1e-45, 123.45675, 0.99995, -0.99995,
])
NAMES = [
    b"Cube", b'Say "hi"', b"back\\slash", b"ctl\x01\x07\t\n\x1f", "Würfel ✓".encode(),
    b"x" * 50, b"", "日本語の名前がとても長い".encode(), b"nul\0hidden", b"del\x7f\xff",
]


def values(rng, shape, nonfinite=0.0):
    """float32 values mixing ties, signed zeros, tiny and huge magnitudes and plain ones."""
    out = rng.uniform(-20, 20, shape).astype(np.float32)
    pick = rng.random(shape)
    out = np.where(pick < 0.35, rng.choice(SPECIAL, shape), out)
    odd32 = (rng.integers(-400, 400, shape) * 2 + 1) / np.float32(32)
    out = np.where(pick > 0.8, odd32, out).astype(np.float32)
    if nonfinite:
        mask = rng.random(shape) < nonfinite
        out[mask] = rng.choice(np.float32([NAN, INF, -INF]), int(mask.sum()))
    return out
