"""Checks tessaro_convert (MasterFormatConverter) against scipy.signal.

The reference is a long Kaiser-windowed polyphase filter (scipy's upfirdn),
evaluated on the converter's output time grid: output frame k sits on input
time (k - e) / ratio, where e = frac(32 * ratio) < 1 output frame is the part
of the resampler's 32-frame start-up delay that whole-frame trimming leaves.
"""

import math
import os
import subprocess
from fractions import Fraction

import numpy as np
import pytest
from scipy import signal

PAIRS = [(48000, 16000), (44100, 48000), (16000, 48000), (48000, 44100)]


@pytest.fixture(scope="module")
def tool():
    path = os.environ.get("TESSARO_CONVERT_TOOL")
    if not path:
        pytest.fail("TESSARO_CONVERT_TOOL is not set; point it at the tessaro_convert binary")
    if not os.path.isfile(path) or not os.access(path, os.X_OK):
        pytest.fail(f"TESSARO_CONVERT_TOOL={path!r} is not an executable file")
    return path


def convert(tool, x, in_rate, out_rate, out_channels=None, chunk=1024):
    """x: frames x channels float32. Returns frames x out_channels float32."""
    x = np.asarray(x, dtype="<f4")
    if x.ndim == 1:
        x = x[:, None]
    in_channels = x.shape[1]
    out_channels = out_channels or in_channels
    done = subprocess.run(
        [tool, "--in-rate", str(in_rate), "--in-channels", str(in_channels),
         "--out-rate", str(out_rate), "--out-channels", str(out_channels),
         "--chunk", str(chunk)],
        input=x.tobytes(), capture_output=True, check=False)
    assert done.returncode == 0, done.stderr.decode()
    return np.frombuffer(done.stdout, dtype="<f4").reshape(-1, out_channels)


def early_frames(in_rate, out_rate):
    return float(Fraction(32 * out_rate, in_rate) % 1)


def reference(x, in_rate, out_rate):
    """x (1-D) resampled onto the converter's time grid, in double precision."""
    ratio = Fraction(out_rate, in_rate)
    up, down = ratio.numerator, ratio.denominator
    # The converter's time for frame k is (k * down - rem) / up input frames.
    rem = (32 * up) % down
    # Filter centre delay D (in upsampled samples) chosen so that output i of
    # upfirdn lands on (i * down - D) / up with D = rem + c * down.
    c = math.ceil((24 * max(up, down) - rem) / down)
    delay = rem + c * down
    taps = signal.firwin(2 * delay + 1, 1.0 / max(up, down), window=("kaiser", 12.0)) * up
    y = signal.upfirdn(taps, np.asarray(x, dtype=np.float64), up, down)
    n_out = math.ceil(len(x) * up / down)
    return y[c:c + n_out]


def sine(n, rate, freq, amp=0.8, phase=0.3):
    return amp * np.sin(2 * np.pi * freq / rate * np.arange(n) + phase)


def fitted_delay(y, out_rate, freq, phase):
    """Delay in output frames of y against amp * sin(w k + phase), by fit."""
    k = np.arange(len(y))
    w = 2 * np.pi * freq / out_rate
    basis = np.stack([np.sin(w * k), np.cos(w * k)], axis=1)
    (a, b), *_ = np.linalg.lstsq(basis, y.astype(np.float64), rcond=None)
    measured = math.atan2(b, a)  # y ~ A sin(w k + measured)
    lag = (phase - measured) / w
    period = 2 * np.pi / w
    return (lag + period / 2) % period - period / 2, math.hypot(a, b)


@pytest.mark.parametrize("in_rate,out_rate", PAIRS)
@pytest.mark.parametrize("frames", [0, 1, 1023, 1024, 1025, 12345, 48000])
def test_output_length_is_ceil_of_frames_times_ratio(tool, in_rate, out_rate, frames):
    x = np.zeros((frames, 2), dtype=np.float32)
    y = convert(tool, x, in_rate, out_rate)
    assert len(y) == math.ceil(frames * out_rate / in_rate)


@pytest.mark.parametrize("in_rate,out_rate", PAIRS)
def test_call_sizes_give_identical_output(tool, in_rate, out_rate):
    n = 20000
    x = np.stack([sine(n, in_rate, 1000.0), np.linspace(-0.5, 0.5, n)], axis=1)
    outputs = [convert(tool, x, in_rate, out_rate, chunk=chunk).tobytes()
               for chunk in (1, 97, 1024, 1500, n)]
    assert all(o == outputs[0] for o in outputs[1:])


# Sines where the converter's filter is flat (within 1e-5) for each pair.
SINES = {
    (48000, 16000): [300.0, 1000.0, 1800.0],
    (44100, 48000): [440.0, 5000.0, 12000.0],
    (16000, 48000): [200.0, 2000.0, 4000.0],
    (48000, 44100): [440.0, 6000.0, 12000.0],
}


@pytest.mark.parametrize("in_rate,out_rate", PAIRS)
def test_passband_sines_match_reference_in_level_and_time(tool, in_rate, out_rate):
    n = 3 * in_rate // 2
    edge = 200
    early = early_frames(in_rate, out_rate)
    assert 0.0 <= early < 1.0
    for freq in SINES[(in_rate, out_rate)]:
        x = sine(n, in_rate, freq)
        y = convert(tool, x.astype(np.float32), in_rate, out_rate)[:, 0]
        ref = reference(x, in_rate, out_rate)
        assert len(y) == len(ref)
        inner, ref_inner = y[edge:-edge], ref[edge:-edge]
        # Direct comparison on the same time grid.
        assert np.max(np.abs(inner - ref_inner)) < 2e-5, freq
        # Level.
        rms_db = 20 * np.log10(np.sqrt(np.mean(inner.astype(np.float64) ** 2)) /
                               np.sqrt(np.mean(ref_inner ** 2)))
        assert abs(rms_db) < 1e-3, (freq, rms_db)
        # Alignment: frame k sits on input time (k - early) / ratio, which is
        # less than one output frame before k / ratio.
        k0 = edge
        lag, amp = fitted_delay(inner, out_rate, freq, 0.3 + 2 * np.pi * freq / out_rate * k0)
        assert abs(amp - 0.8) < 1e-3
        assert abs(lag - early) < 1e-4, (freq, lag, early)
        assert -1e-3 < lag < 1.0


@pytest.mark.parametrize("in_rate,out_rate", PAIRS)
def test_slow_ramp_follows_its_input_times(tool, in_rate, out_rate):
    n = in_rate
    x = np.linspace(-0.9, 0.9, n)
    y = convert(tool, x.astype(np.float32), in_rate, out_rate)[:, 0].astype(np.float64)
    ref = reference(x, in_rate, out_rate)
    ratio = out_rate / in_rate
    k = np.arange(len(y))
    t = (k - early_frames(in_rate, out_rate)) / ratio
    ideal = -0.9 + 1.8 * t / (n - 1)
    inner = slice(200, len(y) - 200)
    # One output frame off would show as 1.8 / n / ratio (>= 3e-5), far
    # above the tolerance.
    assert np.max(np.abs(y[inner] - ideal[inner])) < 2e-6
    assert np.max(np.abs(y[inner] - ref[inner])) < 1e-5


@pytest.mark.parametrize("in_rate,out_rate", [(44100, 48000), (48000, 16000)])
def test_channels_are_mapped_then_resampled(tool, in_rate, out_rate):
    n = 10000
    left = sine(n, in_rate, 700.0)
    right = np.linspace(-0.5, 0.5, n)
    stereo = np.stack([left, right], axis=1).astype(np.float32)
    both = convert(tool, stereo, in_rate, out_rate)
    # Channel order is kept.
    assert np.array_equal(both[:, 0], convert(tool, stereo[:, :1], in_rate, out_rate)[:, 0])
    assert np.array_equal(both[:, 1], convert(tool, stereo[:, 1:], in_rate, out_rate)[:, 0])
    # 2 -> 1 resamples the f32 mean; 1 -> 2 duplicates.
    mean = ((stereo[:, 0] + stereo[:, 1]) * np.float32(0.5)).astype(np.float32)
    down = convert(tool, stereo, in_rate, out_rate, out_channels=1)[:, 0]
    assert np.array_equal(down, convert(tool, mean, in_rate, out_rate)[:, 0])
    up = convert(tool, mean, in_rate, out_rate, out_channels=2)
    assert np.array_equal(up[:, 0], down) and np.array_equal(up[:, 1], down)


def test_tool_reports_converter_errors(tool):
    done = subprocess.run(
        [tool, "--in-rate", "48000", "--in-channels", "2", "--out-rate", "16000",
         "--out-channels", "1"],
        input=np.zeros(5, dtype="<f4").tobytes(), capture_output=True, check=False)
    assert done.returncode == 1
    assert b"input length 5 is not divisible by channels 2" in done.stderr
    done = subprocess.run(
        [tool, "--in-rate", "48000", "--in-channels", "2", "--out-rate", "0",
         "--out-channels", "2"], input=b"", capture_output=True, check=False)
    assert done.returncode == 1
    assert b"resampler initialization failed" in done.stderr
