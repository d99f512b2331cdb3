"""The likelihood's ln F is the correctly rounded logarithm, whatever the processor.

C libraries choose their logarithm at run time: glibc's x86-64 build switches to a variant
with fused multiply-adds on processors that have them, the two variants disagree in the last
bit for about one argument in 85,000, and each misrounds some arguments the other gets
right. The extension computes ln itself, from additions and multiplications in a fixed
order, so these tests hold on every processor, and the arguments below include ones
that each glibc variant misrounds.

Oracle: with one observation 0.0 of white noise with variance x, the log-likelihood is
−0.5·(ln x + ln 2π) as the filter writes it (the squared error is exactly 0), here with
Python's decimal logarithm at 40 digits rounded once to a double.
"""

from decimal import Context, Decimal

import numpy as np
import pytest

import _korvanta_rs as kr

LN2PI = float.fromhex("0x1.d67f1c864beb5p+0")
WHITE_NOISE = dict(order=(0, 0, 0), seasonal_order=(0, 0, 0, 0), trend_powers=[])
_CONTEXT = Context(prec=40)

# Arguments that glibc 2.36 misrounds on x86-64 with its fused multiply-add variant (first
# list) or without it (second), by enough to change the log-likelihood.
MISROUNDED_WITH_FMA = [
    "0x1.abbd96160bdfbp+6", "0x1.479700b010013p+12", "0x1.baa0cc792b85cp+12", "0x1.fbf32bcfd046dp-40",
    "0x1.80595fa5dd7f0p+3", "0x1.37bf0b12ce1f8p-33", "0x1.c3f2916bcde26p+20", "0x1.75cda700113d0p+1",
    "0x1.a6743174e76cbp-1", "0x1.b430096ae26d9p-34", "0x1.11470d0da22cap-1", "0x1.b6e20abeb0132p+8",
]
MISROUNDED_WITHOUT_FMA = [
    "0x1.686cc6c4a8c87p-3", "0x1.00246720b52cbp-2", "0x1.207777d6c02f3p+1", "0x1.cd75feafacba2p-1",
    "0x1.0ed5c1dde6c04p-7", "0x1.0e87a808dc676p-34", "0x1.e45b601310914p-8", "0x1.d87fc33a48377p-11",
    "0x1.4245cc37fcdc5p+1", "0x1.3fc2995e4d354p-4", "0x1.d21a4a47261d6p-3", "0x1.826728ba738fap-6",
]


def correct_ln(x: float) -> float:
    return float(Decimal(x).ln(_CONTEXT))


def white_noise_loglike(variance: float) -> float:
    return kr.loglike(np.zeros(1), np.array([variance]), **WHITE_NOISE)


@pytest.mark.parametrize("hex_value", MISROUNDED_WITH_FMA + MISROUNDED_WITHOUT_FMA)
def test_arguments_the_c_library_misrounds(hex_value):
    x = float.fromhex(hex_value)
    assert white_noise_loglike(x) == -0.5 * (correct_ln(x) + LN2PI)


def _sample() -> np.ndarray:
    rng = np.random.default_rng(20261208)
    table_points = np.arange(91, 182) / 128.0
    parts = [
        np.ldexp(rng.uniform(1.0, 2.0, 600), rng.integers(-1022, 1024, 600)),  # every exponent
        1.0 + rng.uniform(-2.0**-6, 2.0**-6, 400),  # ln x small: no exact part to hide errors
        1.0 + rng.uniform(-1e-9, 1e-9, 100),
        rng.integers(1, 2**52, 100).astype(np.uint64).view(np.float64),  # subnormal
        table_points * (1.0 + rng.uniform(-1e-12, 1e-12, table_points.size)),
        (np.arange(90, 182) + 0.5) / 128.0,  # halfway between table points
        np.sqrt(2.0) * (1.0 + rng.uniform(-1e-9, 1e-9, 100)),  # where the reduction switches
        np.array([1.0, np.nextafter(1.0, 2.0), np.nextafter(1.0, 0.0), 0.5, 2.0, np.sqrt(2.0),
                  np.nextafter(np.sqrt(2.0), 2.0), np.nextafter(np.sqrt(2.0), 0.0), 5e-324,
                  np.finfo(float).tiny, np.nextafter(np.finfo(float).tiny, 0.0), np.finfo(float).max]),
    ]
    return np.concatenate(parts)


def test_a_sample_over_the_whole_range_is_correctly_rounded():
    wrong = [x.hex() for x in map(float, _sample())
             if white_noise_loglike(x) != -0.5 * (correct_ln(x) + LN2PI)]
    assert not wrong, wrong[:10]


@pytest.mark.parametrize("y", [1.0, 3.0, 0.1, 1e-150, 7.5e100, float.fromhex("0x1.a6743174e76cbp-1")])
def test_concentrated_scale_logarithm(y):
    # Profiling the variance out: F = 1 and the scale is y², so the log-likelihood is
    # −0.5·(ln 1 + ((ln y² + ln 2π) + 1)·1).
    scale = y * y
    expected = -0.5 * (0.0 + ((correct_ln(scale) + LN2PI) + 1.0) * 1.0)
    assert kr.loglike(np.array([y]), np.empty(0), concentrate_scale=True, **WHITE_NOISE) == expected


def test_zero_scale_gives_an_infinite_likelihood():
    # ln 0 = −inf, as in any C library.
    assert kr.loglike(np.zeros(1), np.empty(0), concentrate_scale=True, **WHITE_NOISE) == np.inf
