"""Coverage-guided fuzzing of vorlan with atheris: parameter files through
Vorlan.simulate, checkpoints through Simulation.load and a run, the input
files of the `vorlan` command, start files and system descriptions, and the
parameters of the methods and the barostat.

The fuzzer writes each input to a temporary file and hands the path to a
long-lived worker process (fuzz/worker.py) that runs it; a worker that dies by a
signal or runs past the time-out is a finding, and so is an outcome the target's
verdict (fuzz/judge.py) does not allow: a non-finite number, an exception other
than the documented ones, a traceback or a changed input of a command. Findings
are saved under fuzz/findings/ (the input as run, and a .txt with what
happened); fuzzing goes on with a fresh worker, and the process exits with
status 1 at the end when there was any finding.

    python fuzz/campaign.py [--target simulate|checkpoint|cli|starts|methods] --seconds 60 [libFuzzer options...]

nr_particles and nrsteps above --max-particles and --max-steps are cut down to
them before a parameter file runs (counted in the summary), so that one run
takes milliseconds.
"""
from __future__ import annotations

import argparse
import decimal
import hashlib
import io
import json
import os
import random
import re
import resource
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import zipfile
from typing import Optional

import atheris
import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

with atheris.instrument_imports():
    sys.path.insert(0, HERE)
    import judge


# Values a mutation may put in place of another: the edges of the ranges, and
# strings the reader must refuse or skip.
VALUES = (b"0", b"0.", b".0", b".", b"1", b"1.", b"2.5", b"0.5", b"100", b"1.2.3", b"-1", b"1e3",
          b"2147483647", b"2147483648", b"99999999999999999999", b"0." + b"0" * 320 + b"1",
          b"1" + b"0" * 310, b"1" * 40 + b".5")


def plain(x: float) -> bytes:
    """x as digits and at most one full stop, the only form the reader accepts."""
    text = format(decimal.Decimal(x), "f")
    return text.encode()


# ---------------------------------------------------------------- parameter files


def mutate_params(data: bytes, max_size: int, seed: int) -> bytes:
    """Half the time libFuzzer's byte-level mutations; otherwise one value of a key
    that the reader accepts is replaced, scaled by a power of ten, or a key added,
    so that most runs get past the reader and reach the simulation."""
    rnd = random.Random(seed)
    if rnd.random() < 0.5:
        return atheris.Mutate(data, max_size)
    params = judge.read(data)
    lines = data.split(b"\n")
    if not params or rnd.random() < 0.1:
        key = rnd.choice(judge.KEYS).encode()
        lines.insert(rnd.randrange(len(lines) + 1), key + b" = " + rnd.choice(VALUES))
    else:
        key = rnd.choice(sorted(params))
        i, value = params[key]
        choice = rnd.random()
        if choice < 0.4:
            new = rnd.choice(VALUES)
        else:
            try:
                x = float(value)
                x *= 10.0 ** (rnd.randint(-8, 8) if choice < 0.8 else rnd.randint(-330, 310))
            except (ValueError, OverflowError):
                x = float("inf")
            new = plain(x) if x < float("inf") else b"1" + b"0" * 320
            if value.isdigit():
                new = new.split(b".")[0] or b"0"
        lines[i] = b"%s = %s" % (key.encode(), new)
    return b"\n".join(lines)[:max_size]


# ---------------------------------------------------------------- checkpoints

# Values put into a checkpoint's arrays: the edges of what the engine accepts.
SPECIAL = (np.nan, np.inf, -np.inf, 0.0, -0.0, -1.0, 0.5, 1.0, 2.0, 7.0, 63.0, 64.0, 65.0, 1e300, -1e300,
           5e-324, 2.0**31, 2.0**32 - 1, 2.0**32, 4e9, 1e20)


def npz_members(data: bytes):
    """name -> .npy bytes of the members of an .npz file, or None."""
    try:
        with zipfile.ZipFile(io.BytesIO(data)) as z:
            return {info.filename: z.read(info) for info in z.infolist()}
    except Exception:
        return None


def npz_bytes(members: dict) -> bytes:
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_STORED) as z:
        for name, content in members.items():
            z.writestr(name, content)
    return out.getvalue()


def mutate_array(a: np.ndarray, rnd: random.Random) -> np.ndarray:
    """One change of an array of a checkpoint: a value at the edges, a value
    from elsewhere in the array, an entry more or less, another type or shape."""
    choice = rnd.random()
    if a.dtype.kind == "U":
        a = a.copy()
        if a.size and choice < 0.7:
            i = rnd.randrange(a.size)
            a.flat[i] = rnd.choice(VALUES + (b"kt", b"nrsteps", b"", b"abc", b"1e3")).decode()
            return a
        return np.append(a, rnd.choice(["bogus", "1", "kT"])) if a.ndim == 1 else a
    if choice < 0.45 and a.size:
        b = a.astype(np.float64) if rnd.random() < 0.5 and a.dtype.kind != "f" else a.copy()
        value = rnd.choice(SPECIAL) if rnd.random() < 0.6 else b.flat[rnd.randrange(b.size)]
        if b.dtype.kind in "iu" and not (np.isfinite(value) and np.iinfo(b.dtype).min <= value <= np.iinfo(b.dtype).max):
            b = b.astype(np.float64)
        b.flat[rnd.randrange(b.size)] = value
        return b
    if choice < 0.6 and a.ndim >= 1:
        extra = a[-1:] if len(a) else np.zeros((1,) + a.shape[1:], a.dtype)
        return np.concatenate([a, extra]) if rnd.random() < 0.5 else a[:-1]
    if choice < 0.75 and a.size > 1:
        b = a.copy()
        i, j = rnd.randrange(b.size), rnd.randrange(b.size)
        b.flat[i], b.flat[j] = b.flat[j], b.flat[i]
        return b
    if choice < 0.9:
        return a.astype(rnd.choice([np.float32, np.int64, np.uint8, np.bool_, np.complex128, np.int32, np.uint32]))
    return a.reshape(-1) if rnd.random() < 0.5 else a[None]


def mutate_checkpoint(data: bytes, max_size: int, seed: int) -> bytes:
    """Mostly one array of the checkpoint changed (mutate_array), an entry dropped
    or the bytes of one .npy member mutated, the file written again as a valid
    .npz; sometimes libFuzzer's own byte-level mutations of the whole file."""
    rnd = random.Random(seed)
    members = npz_members(data)
    if not members or rnd.random() < 0.05:
        return atheris.Mutate(data, max_size)
    name = rnd.choice(sorted(members))
    choice = rnd.random()
    if choice < 0.08:
        del members[name]
    elif choice < 0.25:
        members[name] = atheris.Mutate(members[name], len(members[name]) + 64)
    else:
        try:
            a = np.load(io.BytesIO(members[name]), allow_pickle=False)
        except Exception:
            return atheris.Mutate(data, max_size)
        out = io.BytesIO()
        np.save(out, mutate_array(a, rnd), allow_pickle=False)
        members[name] = out.getvalue()
    mutated = npz_bytes(members)
    return mutated if len(mutated) <= max_size else atheris.Mutate(data, max_size)


# ---------------------------------------------------------------- command line


def mutate_picked(data: bytes, max_size: int, seed: int, switch: float, mutate) -> bytes:
    """An input whose first byte picks its kind (a command, a format) and whose
    rest is the file: with probability `switch` another kind, else the file
    changed by ``mutate(kind byte, file, rnd)``."""
    rnd = random.Random(seed)
    if not data:
        return atheris.Mutate(data, max_size)
    which, content = data[0], data[1:]
    if rnd.random() < switch:
        return bytes([rnd.randrange(256)]) + content
    return bytes([which]) + mutate(which, content, rnd)


def mutate_cli(data: bytes, max_size: int, seed: int) -> bytes:
    """The first byte picks the command (fuzz/worker.py COMMANDS), the rest is its
    input: now and then another command, else the input mutated (a parameter file
    as a parameter file, anything else byte by byte)."""
    return mutate_picked(data, max_size, seed, 0.05, lambda which, content, rnd: (
        mutate_params(content, max_size - 1, seed) if which % 8 in (0, 1) else atheris.Mutate(content, max_size - 1)))


# ---------------------------------------------------------------- starts and methods

# Numbers a text mutation puts in place of another: the edges of counts, types,
# lengths and parameters.
TEXT_VALUES = (b"0", b"-1", b"1", b"2", b"3", b"0.7", b"1e12", b"1000000000000", b"2147483648", b"4294967296",
               b"1e308", b"1e-320", b"nan", b"inf", b"-inf", b"NaN", b"Infinity", b"true", b"\"x\"", b"",
               b"0.001", b"100", b"-0.0", b"1e400")

NUMBER = re.compile(rb"[-+]?(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?")


def mutate_text(content: bytes, max_size: int, rnd: random.Random) -> bytes:
    """One number of a text input replaced by a value at the edges, a line
    dropped or repeated, or libFuzzer's own byte-level mutations."""
    choice = rnd.random()
    numbers = list(NUMBER.finditer(content))
    if numbers and choice < 0.6:
        m = rnd.choice(numbers)
        if rnd.random() < 0.4:  # a nearby value, so that many inputs still make a run
            value = repr(float(m.group()) * rnd.uniform(0.5, 2.0)).encode()
            if m.group().lstrip(b"-+").isdigit():
                value = str(int(m.group()) + rnd.randint(-2, 2)).encode()
        else:
            value = rnd.choice(TEXT_VALUES)
        return (content[:m.start()] + value + content[m.end():])[:max_size]
    lines = content.split(b"\n")
    if len(lines) > 2 and choice < 0.8:
        i = rnd.randrange(len(lines))
        lines[i:i + 1] = [] if rnd.random() < 0.5 else [lines[i], lines[i]]
        return b"\n".join(lines)[:max_size]
    return atheris.Mutate(content, max_size)


def mutate_gsd(content: bytes, max_size: int, rnd: random.Random) -> bytes:
    """A 32-bit word of the file set to a count at the edges (N, a chunk size,
    an offset), or the bytes mutated."""
    if len(content) >= 8 and rnd.random() < 0.6:
        i = rnd.randrange(0, len(content) - 4) & ~3
        word = rnd.choice((0, 1, 2, 3, 63, 64, 65, 2**31, 2**32 - 1, 1 << 20))
        return content[:i] + struct.pack("<I", word) + content[i + 4:]
    return atheris.Mutate(content, max_size)


def mutate_start(data: bytes, max_size: int, seed: int) -> bytes:
    """The first byte picks the format (fuzz/worker.py STARTS), the rest is the
    file: now and then another format, else the file mutated as its kind is."""
    return mutate_picked(data, max_size, seed, 0.03, lambda which, content, rnd: (
        mutate_gsd(content, max_size - 1, rnd) if which % 5 == 0 else mutate_text(content, max_size - 1, rnd)))


METHOD_LINES = (b"method = nve", b"method = berendsen", b"method = langevin", b"method = bussi",
                b"method = nose-hoover", b"barostat = crescale", b"barostat = none", b"tau = 0.5", b"friction = 1",
                b"chain = 3", b"pressure = -1", b"tau_p = 2", b"compressibility = 0.1", b"kT = 1", b"stepsize = 0.005",
                b"steps = 20", b"seed = 3")


def mutate_methods(data: bytes, max_size: int, seed: int) -> bytes:
    """A value replaced (mutate_text), or a line of another method or
    parameter added."""
    rnd = random.Random(seed)
    if rnd.random() < 0.25:
        return (data + b"\n" + rnd.choice(METHOD_LINES))[:max_size] if rnd.random() < 0.5 else \
            (rnd.choice(METHOD_LINES) + b"\n" + data)[:max_size]
    return mutate_text(data, max_size, rnd)


def native_stack(pid: int) -> str:
    """The C++ stacks of a hanging worker, when gdb is there to print them."""
    if shutil.which("gdb") is None:
        return ""
    try:
        out = subprocess.run(["gdb", "-p", str(pid), "-batch", "-nx", "-ex", "thread apply all bt 12"],
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60)
    except subprocess.TimeoutExpired:
        return ""
    lines = [l for l in out.stdout.decode(errors="replace").splitlines()
             if l.startswith(("#", "Thread"))]
    return "\nnative stacks of the hanging worker:\n" + "\n".join(lines) + "\n"


class Worker:
    """The worker process, restarted after it died or hung."""

    def __init__(self, timeout: float, memory_bytes: int, threads: int, log: str, target: str = "simulate",
                 env: Optional[dict] = None):
        self.timeout, self.memory_bytes, self.threads, self.log = timeout, memory_bytes, threads, log
        self.target, self.env = target, env or {}
        self.proc = self.stderr = None

    def _limit(self):  # in the child, before exec: a runaway allocation fails there
        resource.setrlimit(resource.RLIMIT_AS, (self.memory_bytes, self.memory_bytes))
        resource.setrlimit(resource.RLIMIT_CORE, (0, 0))

    def start(self):
        env = dict(os.environ, OMP_NUM_THREADS=str(self.threads), OMP_WAIT_POLICY="passive",
                   OPENBLAS_NUM_THREADS="1", **self.env)
        self.stderr = open(self.log, "w+b")
        self.proc = subprocess.Popen(
            [sys.executable, "-u", os.path.join(HERE, "worker.py"), "--target", self.target],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.stderr,
            env=env, preexec_fn=self._limit)
        hello = self._read(120.0)
        if hello != {"ready": True}:
            sys.exit("fuzz: the worker did not start (%r); its standard error:\n%s"
                     % (hello, self.stderr_tail()))

    def _read(self, timeout: float):
        ready, _, _ = select.select([self.proc.stdout], [], [], timeout)
        if not ready:
            return "timeout"
        line = self.proc.stdout.readline()
        if not line:
            return "died"
        return json.loads(line)

    def stderr_tail(self, limit: int = 4000) -> str:
        self.stderr.flush()
        self.stderr.seek(0)
        text = self.stderr.read().decode(errors="replace")
        return text[-limit:]

    def run(self, path: str):
        """The worker's answer, or ("signal"|"exit"|"timeout", detail, stderr)."""
        if self.proc is None:
            self.start()
        self.stderr.seek(0)
        self.stderr.truncate()
        try:
            self.proc.stdin.write(path.encode() + b"\n")
            self.proc.stdin.flush()
            reply = self._read(self.timeout)
        except BrokenPipeError:
            reply = "died"
        if isinstance(reply, dict):
            return reply
        if reply == "timeout":
            stack = native_stack(self.proc.pid)
            self.proc.kill()
            self.proc.wait()
            fault = ("timeout", "no answer within %g s" % self.timeout, self.stderr_tail() + stack)
        else:
            code = self.proc.wait()
            if code < 0:
                fault = ("signal", signal.Signals(-code).name, self.stderr_tail())
            else:
                fault = ("exit", "status %d" % code, self.stderr_tail())
        self._close()
        return fault

    def _close(self):
        for f in (self.proc.stdin, self.proc.stdout, self.stderr):
            try:
                f.close()
            except BrokenPipeError:
                pass
        self.proc = self.stderr = None

    def stop(self):
        if self.proc is not None:
            self.proc.stdin.close()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
            self._close()


# What differs between the targets: the suffix of an input file, the mutator, the
# longest input, the libFuzzer dictionary and whether parameter files are clamped.
TARGETS = {
    "simulate": dict(suffix=".par", mutate=mutate_params, max_len=2048, dictionary="parameters.dict", clamp=True),
    "checkpoint": dict(suffix=".npz", mutate=mutate_checkpoint, max_len=65536, dictionary=None, clamp=False),
    "cli": dict(suffix=".cli", mutate=mutate_cli, max_len=65536, dictionary="parameters.dict", clamp=False),
    "starts": dict(suffix=".start", mutate=mutate_start, max_len=65536, dictionary=None, clamp=False),
    "methods": dict(suffix=".methods", mutate=mutate_methods, max_len=4096, dictionary=None, clamp=False),
}


class Campaign:
    def __init__(self, args):
        self.args = args
        self.target = TARGETS[args.target]
        self.tmp = tempfile.mkdtemp(prefix="vorlan-fuzz-")
        self.path = os.path.join(self.tmp, "input" + self.target["suffix"])
        env = dict(item.split("=", 1) for item in args.worker_env)
        self.worker = Worker(args.timeout, args.memory_mb << 20, args.threads,
                             os.path.join(self.tmp, "worker.stderr"), args.target, env)
        self.start = time.monotonic()
        self.runs = self.clamped = 0
        self.findings = {}  # signature -> count
        self.outcomes = {}  # kind of allowed outcome -> count

    def record(self, signature: str, data: bytes, cut: list, details: str):
        count = self.findings.get(signature, 0) + 1
        self.findings[signature] = count
        first = count == 1
        if count <= self.args.keep_per_finding:
            os.makedirs(self.args.findings, exist_ok=True)
            base = os.path.join(self.args.findings, hashlib.sha1(data).hexdigest()[:16])
            with open(base + self.target["suffix"], "wb") as f:
                f.write(data)
            with open(base + ".txt", "w") as f:
                f.write("finding: %s\n" % signature)
                if cut:
                    f.write("input clamped before the run: %s\n" % ", ".join(cut))
                f.write("replay: python fuzz/worker.py --target %s %s%s\n\n%s\n"
                        % (self.args.target, base, self.target["suffix"], details))
            where = base + self.target["suffix"]
        else:
            where = "(not saved again)"
        if first or self.args.verbose:
            print("fuzz: FINDING %s -> %s" % (signature, where), flush=True)
        if self.args.stop_on_finding:
            self.finish()

    def one_input(self, data: bytes):
        if time.monotonic() - self.start >= self.args.seconds:
            self.finish()
        cut = []
        if self.target["clamp"]:
            params = judge.read(data)
            judge.features(params)
            judge.relations(params)
            data, cut = judge.clamp(data, params, self.args.max_particles, self.args.max_steps)
            self.clamped += bool(cut)
        with open(self.path, "wb") as f:
            f.write(data)
        self.runs += 1
        reply = self.worker.run(self.path)
        if isinstance(reply, tuple):
            kind, detail, stderr = reply
            signature = {"signal": "worker killed by %s" % detail,
                         "exit": "worker exited with %s" % detail,
                         "timeout": "hang (%s)" % detail}[kind]
            self.record(signature, data, cut, "worker standard error:\n" + stderr)
            return
        signature = judge.VERDICTS[self.args.target](reply)
        if signature is not None:
            self.record(signature, data, cut, json.dumps(reply, indent=1))
        else:
            kind = judge.outcome(self.args.target, reply)
            self.outcomes[kind] = self.outcomes.get(kind, 0) + 1

    def finish(self):
        self.worker.stop()
        shutil.rmtree(self.tmp, ignore_errors=True)
        elapsed = time.monotonic() - self.start
        total = sum(self.findings.values())
        for signature, count in sorted(self.findings.items()):
            print("fuzz: %6d x %s" % (count, signature))
        clamped = (", %d clamped to nr_particles <= %d and nrsteps <= %d"
                   % (self.clamped, self.args.max_particles, self.args.max_steps)) if self.target["clamp"] else ""
        outcomes = ", ".join("%d %s" % (n, kind) for kind, n in sorted(self.outcomes.items()))
        print("fuzz: %s: %d runs in %.0f s (%.0f runs/s)%s; %d findings of %d kinds%s; allowed outcomes: %s"
              % (self.args.target, self.runs, elapsed, self.runs / max(elapsed, 1e-9), clamped, total,
                 len(self.findings), " (saved in %s)" % self.args.findings if total else "", outcomes or "none"),
              flush=True)
        sys.stdout.flush()
        sys.stderr.flush()
        os._exit(1 if total else 0)  # libFuzzer would otherwise keep going


def seed_corpus(args) -> None:
    """Copies the seeds of the target into the working corpus: the example and
    fuzz/corpus parameter files, or inputs the worker makes with the package."""
    os.makedirs(args.corpus, exist_ok=True)
    if args.target == "simulate":
        seeds = [os.path.join(ROOT, "examples", f) for f in sorted(os.listdir(os.path.join(ROOT, "examples")))
                 if f.endswith(".par")]
        seeds += [os.path.join(HERE, "corpus", f) for f in sorted(os.listdir(os.path.join(HERE, "corpus")))]
        for s in seeds:
            shutil.copy(s, args.corpus)
        return
    env = dict(os.environ, **dict(item.split("=", 1) for item in args.worker_env))
    made = subprocess.run([sys.executable, os.path.join(HERE, "worker.py"), "--seeds", args.target, args.corpus],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=env)
    if made.returncode != 0:
        sys.exit("fuzz: the worker could not make the seeds of %s:\n%s" % (args.target, made.stdout))


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--seconds", type=float, default=60.0, help="length of the run (default 60)")
    p.add_argument("--timeout", type=float, default=None,
                   help="seconds a single run may take before it is a hang (default 5; for cli 20, "
                        "a figure takes longer)")
    p.add_argument("--max-particles", type=int, default=216)
    p.add_argument("--max-steps", type=int, default=20)
    p.add_argument("--threads", type=int, default=2, help="OMP_NUM_THREADS of the worker")
    p.add_argument("--memory-mb", type=int, default=4096, help="address-space limit of the worker")
    p.add_argument("--worker-env", action="append", default=[], metavar="KEY=VALUE",
                   help="an environment variable of the worker only (repeat), e.g. LD_PRELOAD of a "
                        "sanitizer runtime for a sanitized build on PYTHONPATH")
    p.add_argument("--findings", default=os.path.join(HERE, "findings"))
    p.add_argument("--keep-per-finding", type=int, default=3,
                   help="inputs saved for each kind of finding (default 3)")
    p.add_argument("--stop-on-finding", action="store_true")
    p.add_argument("--verbose", action="store_true")
    p.add_argument("--target", choices=sorted(TARGETS), default="simulate",
                   help="what is fuzzed: parameter files through simulate (default), checkpoints "
                        "through Simulation.load and run, or the input files of the vorlan command")
    p.add_argument("--corpus", default=None,
                   help="working corpus (default build/fuzz/TARGET/corpus), seeded from examples/*.par and "
                        "fuzz/corpus/, or from inputs made by the package")
    args, libfuzzer = p.parse_known_args()
    if args.timeout is None:
        args.timeout = 20.0 if args.target == "cli" else 5.0
    if args.corpus is None:
        args.corpus = os.path.join(ROOT, "build", "fuzz", args.target, "corpus")
    seed_corpus(args)

    campaign = Campaign(args)
    target = TARGETS[args.target]
    options = ["-dict=" + os.path.join(HERE, target["dictionary"])] if target["dictionary"] else []
    argv = [sys.argv[0]] + options + ["-max_len=%d" % target["max_len"], "-timeout=%d" % (args.timeout * 6 + 120),
            "-rss_limit_mb=4096", "-report_slow_units=100000",
            "-artifact_prefix=" + os.path.join(ROOT, "build", "fuzz") + "/", "-print_final_stats=0"] + libfuzzer + [args.corpus]
    atheris.Setup(argv, campaign.one_input, custom_mutator=target["mutate"])
    atheris.Fuzz()


if __name__ == "__main__":
    main()
