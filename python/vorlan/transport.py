"""Transport coefficients from a trajectory or a log: the mean squared
displacement, the velocity autocorrelation function, the self-diffusion
coefficient from each, and the shear viscosity by Green-Kubo.

Every correlation is averaged over all time origins of equally spaced frames
and over the particles (or the three off-diagonal stress components). With
more than ``FFT_FROM`` frames the sums over origins are done by FFT (the
Wiener-Khinchin theorem with zero padding, and for the MSD the algorithm of
Calandrini, Pellegrini, Calligari, Hinsen and Kneller, Collection SFN 12, 201
(2011)): O(K log K) instead of O(K^2) per particle, the same numbers to
rounding.

Error bars come from blocking in time: the run is cut into `blocks` equal
pieces, the coefficient computed in each, and the standard error of their mean
is given (pieces longer than the correlation time are independent samples).

Relations (3 dimensions, k_B = 1)::

  MSD(t) = <|r_i(t) - r_i(0)|^2>       -> 6 D t at long times (Einstein)
  VACF(t) = <v_i(0) . v_i(t)>            D = (1/3) int_0^inf VACF dt
  eta = V / kT int_0^inf <P_ab(0) P_ab(t)> dt, averaged over ab = xy, xz, yz
"""

from __future__ import annotations

import math
import os
from typing import Any, Mapping, NamedTuple, Optional, Tuple, Union

import numpy as np

__all__ = ["Correlation", "Coefficient", "frames_of", "frame_times", "autocorrelation", "msd_all_origins",
           "velocity_autocorrelation", "mean_squared_displacement", "diffusion", "green_kubo", "FFT_FROM"]

# Frames from which the origin averages are done by FFT.
FFT_FROM = 64

_trapezoid = getattr(np, "trapezoid", None) or getattr(np, "trapz")  # NumPy 2 renamed it


class Correlation(NamedTuple):
    """A function of the lag time, averaged over time origins and particles."""

    time: np.ndarray   # (L,) lag times
    value: np.ndarray  # (L,) the average
    error: np.ndarray  # (L,) standard error over the particles (or components)


class Coefficient(NamedTuple):
    """A transport coefficient with its blocking error."""

    value: float
    error: float   # standard error of the mean over `blocks` pieces of the run (NaN with one piece)
    blocks: int

    def __str__(self) -> str:
        return f"{self.value:.5g} ± {self.error:.2g}"


def frames_of(traj: Any) -> Any:
    """A Trajectory (vorlan.io.frames) from a Trajectory or the path of a GSD file."""
    if isinstance(traj, (str, os.PathLike)):
        from .io.gsd import read_gsd

        return read_gsd(traj)
    if not hasattr(traj, "positions"):
        raise TypeError(f"traj = {traj!r} is not a trajectory: give vorlan.io.gsd.read_gsd(...) or a GSD path")
    return traj


def frame_times(traj: Any, dt: Optional[float] = None) -> np.ndarray:
    """The times of the frames: the file's times, else steps times `dt` (the
    argument, else the file's time step); ValueError when the frames are not
    equally spaced, since every origin average assumes it."""
    steps = np.asarray(traj.steps, dtype=np.float64)
    if dt is None and traj.times is not None:
        times = np.asarray(traj.times, dtype=np.float64)
    else:
        dt = traj.dt if dt is None else dt
        if dt is None:
            raise ValueError("the trajectory records no time step: give dt=")
        times = steps * float(dt)
    if len(steps) > 1:
        gaps = np.diff(steps)
        if gaps.min() <= 0 or gaps.max() != gaps.min():
            raise ValueError(f"the frames are not equally spaced in steps (gaps {gaps.min():g} to {gaps.max():g}): "
                             "time-origin averages need a constant interval")
    return times


def autocorrelation(x: np.ndarray, fft: Optional[bool] = None) -> np.ndarray:
    """C(m) = 1/(K - m) sum_t x(t) x(t + m) for m = 0 .. K-1, over the first axis
    of x (K, ...), every other axis kept; by FFT with zero padding (same numbers
    to rounding) when ``fft`` or, by default, K >= FFT_FROM."""
    x = np.asarray(x, dtype=np.float64)
    k = x.shape[0]
    counts = (k - np.arange(k)).reshape((k,) + (1,) * (x.ndim - 1))
    if fft or (fft is None and k >= FFT_FROM):
        size = 1 << (2 * k - 1).bit_length()
        f = np.fft.rfft(x, n=size, axis=0)
        return np.fft.irfft(f * np.conj(f), n=size, axis=0)[:k] / counts
    out = np.empty_like(x)
    for m in range(k):
        out[m] = np.sum(x[: k - m] * x[m:], axis=0)
    return out / counts


def msd_all_origins(r: np.ndarray, fft: Optional[bool] = None) -> np.ndarray:
    """Per particle, ``<|r(t + m) - r(t)|^2>`` over all origins t, for m = 0 .. K-1,
    of unwrapped positions r (K, N, 3): an (K, N) array. FFT: MSD(m) = S1(m) -
    2 S2(m), S2 the positions' autocorrelation and S1 by the recursion of
    Calandrini et al."""
    r = np.asarray(r, dtype=np.float64)
    k = r.shape[0]
    if not (fft or (fft is None and k >= FFT_FROM)):
        out = np.zeros(r.shape[:2])
        for m in range(1, k):
            d = r[m:] - r[:-m]
            out[m] = np.mean(np.sum(d * d, axis=-1), axis=0)
        return out
    sq = np.sum(r * r, axis=-1)                       # (K, N)
    s2 = np.sum(autocorrelation(r, fft=True), axis=-1)
    s1 = np.empty_like(sq)
    total = 2.0 * np.sum(sq, axis=0)
    for m in range(k):
        # the origins t = 0 .. K-m-1 of |r(t)|^2 + |r(t+m)|^2
        s1[m] = total / (k - m)
        if m + 1 < k:
            total = total - sq[m] - sq[k - 1 - m]
    out = s1 - 2.0 * s2
    out[0] = 0.0  # zero by definition; the transforms leave rounding there
    return out


def _unwrapped(traj: Any) -> np.ndarray:
    x = np.asarray(traj.positions, dtype=np.float64)
    if traj.images is None:
        return x
    box = np.asarray(traj.box, dtype=np.float64).reshape(-1, 1, 3)
    return x + np.asarray(traj.images) * box


def _selected(traj: Any, species: Optional[str]) -> np.ndarray:
    n = traj.positions.shape[1]
    if species is None:
        return np.ones(n, dtype=bool)
    names = list(traj.species or ["A"])
    if species not in names:
        raise ValueError(f"species = {species!r} is not one of the trajectory's: {names}")
    types = np.zeros(n, dtype=np.int32) if traj.types is None else np.asarray(traj.types)
    return types == names.index(species)


def _lags(nr_frames: int, max_lag: Optional[int]) -> int:
    if nr_frames < 2:
        raise ValueError(f"a correlation over time needs at least 2 frames, the trajectory holds {nr_frames}")
    lags = nr_frames // 2 if max_lag is None else int(max_lag)
    if not 1 <= lags < nr_frames:
        raise ValueError(f"max_lag = {max_lag} is not allowed: 1 to {nr_frames - 1} frames")
    return lags


def _over_particles(per_particle: np.ndarray, times: np.ndarray, lags: int) -> Correlation:
    n = per_particle.shape[1]
    value = per_particle[: lags + 1].mean(axis=1)
    error = per_particle[: lags + 1].std(axis=1, ddof=1) / math.sqrt(n) if n > 1 else np.full(lags + 1, np.nan)
    return Correlation(times[: lags + 1] - times[0], value, error)


def mean_squared_displacement(traj: Any, *, max_lag: Optional[int] = None, species: Optional[str] = None,
                              dt: Optional[float] = None, fft: Optional[bool] = None) -> Correlation:
    """MSD(t) over all time origins and the particles (of `species`), from the
    unwrapped positions (positions + images * box) of equally spaced frames, up
    to `max_lag` frames (default half the frames)."""
    traj = frames_of(traj)
    times = frame_times(traj, dt)
    lags = _lags(len(times), max_lag)
    r = _unwrapped(traj)[:, _selected(traj, species)]
    return _over_particles(msd_all_origins(r, fft), times, lags)


def velocity_autocorrelation(traj: Any, *, max_lag: Optional[int] = None, species: Optional[str] = None,
                             dt: Optional[float] = None, fft: Optional[bool] = None,
                             normalize: bool = False) -> Correlation:
    """VACF(t) = <v_i(0) . v_i(t)> over all time origins and the particles (of
    `species`); ``normalize`` divides by VACF(0)."""
    traj = frames_of(traj)
    times = frame_times(traj, dt)
    lags = _lags(len(times), max_lag)
    v = np.asarray(traj.velocities, dtype=np.float64)[:, _selected(traj, species)]
    c = _over_particles(np.sum(autocorrelation(v, fft), axis=-1), times, lags)
    if normalize:
        return Correlation(c.time, c.value / c.value[0], c.error / c.value[0])
    return c


def _pieces(nr_frames: int, blocks: int) -> list:
    if blocks < 1 or nr_frames // blocks < 4:
        raise ValueError(f"blocks = {blocks} is not allowed: each block needs at least 4 of the {nr_frames} frames")
    size = nr_frames // blocks
    return [slice(b * size, (b + 1) * size) for b in range(blocks)]


def _coefficient(values: list) -> Coefficient:
    a = np.asarray(values, dtype=np.float64)
    error = float(a.std(ddof=1) / math.sqrt(len(a))) if len(a) > 1 else math.nan
    return Coefficient(float(a.mean()), error, len(a))


class Diffusion(NamedTuple):
    """The self-diffusion coefficient two ways, with the functions they come from."""

    msd: Coefficient                # slope of the MSD / 6 over the fit window
    vacf: Optional[Coefficient]     # integral of the VACF / 3 (None without velocities)
    msd_curve: Correlation
    vacf_curve: Optional[Correlation]
    fit: Tuple[float, float]        # the lag times the MSD slope is fitted over


def diffusion(traj: Any, *, blocks: int = 5, fit: Optional[Tuple[float, float]] = None,
              species: Optional[str] = None, dt: Optional[float] = None, fft: Optional[bool] = None) -> Diffusion:
    """D from the MSD (least-squares slope over the lag times `fit`, default the
    second half of the lags of a block: the diffusive regime) and from the
    VACF (its integral by the trapezoid rule up to the longest lag of a block),
    each the mean over `blocks` pieces of the run with its standard error; the
    curves are those of the whole run."""
    traj = frames_of(traj)
    times = frame_times(traj, dt)
    pieces = _pieces(len(times), blocks)
    span = pieces[0].stop - pieces[0].start
    lags = span // 2
    window = (times[lags // 2] - times[0], times[lags] - times[0]) if fit is None else tuple(map(float, fit))
    sel = _selected(traj, species)
    r = _unwrapped(traj)[:, sel]
    have_v = traj.velocities is not None and np.any(traj.velocities)
    v = np.asarray(traj.velocities, dtype=np.float64)[:, sel] if have_v else None
    d_msd, d_vacf = [], []
    for piece in pieces:
        lag_t = times[piece][: lags + 1] - times[piece][0]
        curve = msd_all_origins(r[piece], fft)[: lags + 1].mean(axis=1)
        use = (lag_t >= window[0]) & (lag_t <= window[1])
        if use.sum() < 2:
            raise ValueError(f"fit = {window} holds fewer than 2 lag times of a block (lags up to {lag_t[-1]:g})")
        d_msd.append(np.polyfit(lag_t[use], curve[use], 1)[0] / 6.0)
        if v is not None:
            c = np.sum(autocorrelation(v[piece], fft), axis=-1)[: lags + 1].mean(axis=1)
            d_vacf.append(_trapezoid(c, lag_t) / 3.0)
    whole = mean_squared_displacement(traj, species=species, dt=dt, fft=fft)
    vc = (velocity_autocorrelation(traj, max_lag=lags, species=species, dt=dt, fft=fft) if v is not None else None)
    return Diffusion(_coefficient(d_msd), _coefficient(d_vacf) if v is not None else None, whole, vc,
                     (float(window[0]), float(window[1])))


# the off-diagonal components in the order (xy, xz, yz); a six-column array is (xx, yy, zz, xy, xz, yz)
_OFF_DIAGONAL = ("pxy", "pxz", "pyz")


def _shear_stress(log: Any, key: str) -> np.ndarray:
    """(K, 3) off-diagonal pressure components from a log entry or an array."""
    if isinstance(log, Mapping):
        if all(k in log for k in _OFF_DIAGONAL):
            return np.column_stack([np.asarray(log[k], dtype=np.float64) for k in _OFF_DIAGONAL])
        if key not in log:
            raise ValueError(f"the log holds neither {key!r} nor the columns {', '.join(_OFF_DIAGONAL)}")
        a = np.asarray(log[key], dtype=np.float64)
    else:
        a = np.asarray(log, dtype=np.float64)
    if a.ndim == 3 and a.shape[1:] == (3, 3):
        return np.column_stack([a[:, 0, 1], a[:, 0, 2], a[:, 1, 2]])
    if a.ndim == 2 and a.shape[1] == 6:
        return a[:, 3:6]
    if a.ndim == 2 and a.shape[1] == 3:
        return a
    raise ValueError(f"the pressure tensor has shape {a.shape}: give (K, 6) columns xx yy zz xy xz yz, "
                     "(K, 3, 3) matrices, (K, 3) columns xy xz yz, or a mapping with pxy, pxz, pyz")


def green_kubo(log: Any, key: str = "pressure_tensor", *, volume: Optional[float] = None,
               kT: Optional[float] = None, dt: Optional[float] = None, t_max: Optional[float] = None,
               blocks: int = 5, fft: Optional[bool] = None) -> Tuple[Coefficient, Correlation]:
    """Shear viscosity eta = V / kT int_0^t_max <P_ab(0) P_ab(t)> dt from the
    off-diagonal pressure components sampled at a constant interval `dt` (the
    log's ``time`` or ``step`` spacing times ``dt``), averaged over xy, xz, yz.

    `log`: a mapping with `key` ((K, 6) in the order xx yy zz xy xz yz, (K, 3, 3)
    or (K, 3) xy xz yz) or with columns pxy, pxz, pyz, or such an array. The
    volume and kT default to the log's ``volume`` and ``temperature`` means.
    `t_max` (default a tenth of a block) ends the integral where the ACF has
    decayed. Returns (eta with its blocking error over `blocks` pieces, the
    stress ACF of the whole series averaged over the three components, its error
    the spread of the components)."""
    p = _shear_stress(log, key)
    if not np.isfinite(p).all():
        raise ValueError("the pressure tensor holds values that are not finite")
    interval = _interval(log, dt)
    volume = _mean_of(log, "volume", volume)
    kT = _mean_of(log, "temperature", kT)
    pieces = _pieces(len(p), blocks)
    span = pieces[0].stop - pieces[0].start
    lags = span // 10 if t_max is None else int(round(t_max / interval))
    if not 1 <= lags < span:
        raise ValueError(f"t_max = {t_max} is not allowed: between one sample interval ({interval:g}) and a block "
                         f"({span * interval:g})")
    lag_t = np.arange(lags + 1) * interval
    etas = [volume / kT * _trapezoid(autocorrelation(p[piece], fft)[: lags + 1].mean(axis=1), lag_t)
            for piece in pieces]
    acf = autocorrelation(p, fft)[: lags + 1]
    curve = Correlation(lag_t, acf.mean(axis=1), acf.std(axis=1, ddof=1) / math.sqrt(3))
    return _coefficient(etas), curve


def _interval(log: Any, dt: Optional[float]) -> float:
    if isinstance(log, Mapping) and "time" in log and dt is None:
        t = np.asarray(log["time"], dtype=np.float64)
        return float(t[1] - t[0])
    if isinstance(log, Mapping) and "step" in log and dt is not None:
        s = np.asarray(log["step"])
        return float(s[1] - s[0]) * float(dt)
    if dt is None:
        raise ValueError("the sample interval is unknown: give dt= (the time between samples, or the time step "
                         "when the log has a step column)")
    return float(dt)


def _mean_of(log: Any, key: str, given: Optional[float]) -> float:
    if given is not None:
        value = float(given)
    elif isinstance(log, Mapping) and key in log:
        value = float(np.mean(log[key]))
    else:
        raise ValueError(f"green_kubo needs the {key}: give {'kT' if key == 'temperature' else key}=")
    if not (math.isfinite(value) and value > 0.0):
        raise ValueError(f"{key} = {value} is not allowed: it must be a finite positive number")
    return value
