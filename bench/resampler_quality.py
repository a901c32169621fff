#!/usr/bin/env python3
"""Measures the quality of tessaro_convert's resampling with pure sines.

usage: resampler_quality.py path/to/tessaro_convert

For 48000 -> 16000 and 44100 -> 48000 (mono) it prints:

- passband ripple: peak-to-peak of the gain (dB) of sines from 20 Hz up to
  0.5 x and 0.9 x the cutoff, the cutoff being 0.789 x the lower rate's
  Nyquist frequency;
- alias rejection (downsampling): the output level (dB re. the input sine)
  of sines above the output Nyquist frequency whose alias lands in the
  0.9 x cutoff passband, worst case, and of all sines above the output
  Nyquist frequency, worst case;
- image rejection (upsampling): everything but the sine itself in the output
  (images and rounding noise), worst case over the 0.9 x cutoff passband;
- alignment: the measured delay, in output frames, of the sines against
  output frame k = input time k / ratio, next to the expected
  frac(32 x ratio) that whole-frame trimming of the start-up delay leaves.

Needs numpy (the fits are plain least squares; scipy is not used).
"""

import math
import subprocess
import sys
from fractions import Fraction

import numpy as np

CUTOFF = 0.78911602
AMPLITUDE = 0.5
PHASE = 0.3
EDGE = 400  # output frames skipped at both ends


def convert(tool, x, in_rate, out_rate):
    done = subprocess.run(
        [tool, "--in-rate", str(in_rate), "--in-channels", "1",
         "--out-rate", str(out_rate), "--out-channels", "1"],
        input=np.asarray(x, dtype="<f4").tobytes(), capture_output=True, check=False)
    if done.returncode != 0:
        sys.exit(f"tessaro_convert failed: {done.stderr.decode().strip()}")
    return np.frombuffer(done.stdout, dtype="<f4").astype(np.float64)


def fit(y, freq, rate, k0):
    """Amplitude, phase and residual RMS of y against a sine at freq."""
    k = np.arange(len(y)) + k0
    w = 2 * np.pi * freq / rate
    basis = np.stack([np.sin(w * k), np.cos(w * k)], axis=1)
    coef, *_ = np.linalg.lstsq(basis, y, rcond=None)
    residual = y - basis @ coef
    return math.hypot(*coef), math.atan2(coef[1], coef[0]), math.sqrt(np.mean(residual ** 2))


def run_sine(tool, in_rate, out_rate, freq, seconds=1.0):
    n = int(in_rate * seconds)
    x = AMPLITUDE * np.sin(2 * np.pi * freq / in_rate * np.arange(n) + PHASE)
    y = convert(tool, x.astype(np.float32), in_rate, out_rate)
    return y[EDGE:-EDGE]


def db(v):
    return 20 * math.log10(max(v, 1e-300))


def measure(tool, in_rate, out_rate):
    ratio = out_rate / in_rate
    low_nyquist = min(in_rate, out_rate) / 2
    cutoff_hz = CUTOFF * low_nyquist
    out_nyquist = out_rate / 2
    in_nyquist = in_rate / 2
    gains = {}
    delays = []
    images = []
    for freq in np.linspace(20.0, 0.9 * cutoff_hz, 40):
        y = run_sine(tool, in_rate, out_rate, freq)
        amp, phase, residual = fit(y, freq, out_rate, EDGE)
        gains[freq] = db(amp / AMPLITUDE)
        # Output frame k reads input time (k - d) / ratio: phase = PHASE - w d.
        w = 2 * np.pi * freq / out_rate
        lag = (PHASE - phase) / w
        period = 2 * np.pi / w
        delays.append((lag + period / 2) % period - period / 2)
        images.append(db(residual * math.sqrt(2) / AMPLITUDE))
    ripple = {}
    for share in (0.5, 0.9):
        band = [g for f, g in gains.items() if f <= share * cutoff_hz + 1e-9]
        ripple[share] = max(band) - min(band)

    alias_pass = alias_all = None
    if out_rate < in_rate:
        alias_pass, alias_all = -math.inf, -math.inf
        for freq in np.linspace(out_nyquist * 1.002, in_nyquist * 0.998, 120):
            y = run_sine(tool, in_rate, out_rate, freq)
            level = db(math.sqrt(np.mean(y ** 2)) * math.sqrt(2) / AMPLITUDE)
            folded = abs(freq - out_rate * round(freq / out_rate))
            alias_all = max(alias_all, level)
            if folded <= 0.9 * cutoff_hz:
                alias_pass = max(alias_pass, level)

    expected = float(Fraction(32 * out_rate, in_rate) % 1)
    return {
        "ratio": ratio,
        "cutoff_hz": cutoff_hz,
        "ripple_half": ripple[0.5],
        "ripple_09": ripple[0.9],
        "gain_at_09": gains[max(gains)],
        "alias_pass": alias_pass,
        "alias_all": alias_all,
        "image": max(images) if out_rate > in_rate else None,
        "delay": float(np.mean(delays)),
        "delay_spread": float(np.max(delays) - np.min(delays)),
        "expected": expected,
    }


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    tool = sys.argv[1]
    rows = [(48000, 16000), (44100, 48000)]
    print(f"{'pair':<14}{'cutoff Hz':>10}{'ripple<=0.5fc':>15}{'ripple<=0.9fc':>15}"
          f"{'gain@0.9fc':>12}{'alias->pass':>13}{'alias any':>11}{'image+noise':>13}"
          f"{'delay frames':>14}{'expected':>10}{'error':>10}")
    for in_rate, out_rate in rows:
        m = measure(tool, in_rate, out_rate)

        def fmt(v, unit=" dB"):
            return "-" if v is None else f"{v:.1f}{unit}"

        print(f"{f'{in_rate}->{out_rate}':<14}{m['cutoff_hz']:>10.0f}"
              f"{m['ripple_half']:>12.2g} dB{m['ripple_09']:>12.3g} dB"
              f"{m['gain_at_09']:>9.3f} dB{fmt(m['alias_pass']):>13}{fmt(m['alias_all']):>11}"
              f"{fmt(m['image']):>13}{m['delay']:>14.5f}{m['expected']:>10.5f}"
              f"{m['delay'] - m['expected']:>10.1e}")
    print("\nripple: peak-to-peak gain of sines from 20 Hz to 0.5 x / 0.9 x the cutoff "
          "(fc = 0.789 x the lower Nyquist frequency); gain@0.9fc: gain there.")
    print("alias->pass: worst output level of sines above the output Nyquist whose alias "
          "lands below 0.9 fc; alias any: worst over all sines above the output Nyquist.")
    print("image+noise: worst level of everything except the sine in the output "
          "(upsampling, sines up to 0.9 fc).")
    print("delay: measured delay of the sines against output frame k = input time k / ratio, "
          "in output frames; expected = frac(32 x ratio).")


if __name__ == "__main__":
    main()
