"""Coverage-guided fuzzing of the parameter reader and Vorlan.simulate with atheris.

Each input is a whole parameter file. The fuzzer writes it to a temporary file and
hands the path to a long-lived worker process (fuzz/worker.py) that runs
simulate(); a worker that dies by a signal or runs past the time-out is a finding,
and so is a result holding a non-finite number or an exception other than the
documented ones. Findings are saved under fuzz/findings/ (the input as run, and a
.txt with what happened); fuzzing goes on with a fresh worker, and the process
exits with status 1 at the end when there was any finding.

    python fuzz/fuzz_simulate.py --seconds 60 [libFuzzer options...]

nr_particles and nrsteps above --max-particles and --max-steps are cut down to
them before the run (counted in the summary), so that one run takes milliseconds.
"""
from __future__ import annotations

import argparse
import decimal
import hashlib
import json
import os
import random
import resource
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import atheris

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


def mutate(data: bytes, max_size: int, seed: int) -> bytes:
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

    def __init__(self, timeout: float, memory_bytes: int, threads: int, log: str):
        self.timeout, self.memory_bytes, self.threads, self.log = timeout, memory_bytes, threads, log
        self.proc = self.stderr = None

    def _limit(self):  # in the child, before exec: a runaway allocation fails there
        resource.setrlimit(resource.RLIMIT_AS, (self.memory_bytes, self.memory_bytes))
        resource.setrlimit(resource.RLIMIT_CORE, (0, 0))

    def start(self):
        env = dict(os.environ, OMP_NUM_THREADS=str(self.threads), OMP_WAIT_POLICY="passive",
                   OPENBLAS_NUM_THREADS="1")
        self.stderr = open(self.log, "w+b")
        self.proc = subprocess.Popen(
            [sys.executable, "-u", os.path.join(HERE, "worker.py")],
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


class Campaign:
    def __init__(self, args):
        self.args = args
        self.tmp = tempfile.mkdtemp(prefix="vorlan-fuzz-")
        self.path = os.path.join(self.tmp, "input.par")
        self.worker = Worker(args.timeout, args.memory_mb << 20, args.threads,
                             os.path.join(self.tmp, "worker.stderr"))
        self.start = time.monotonic()
        self.runs = self.clamped = 0
        self.findings = {}  # signature -> count

    def record(self, signature: str, data: bytes, cut: list, details: str):
        count = self.findings.get(signature, 0) + 1
        self.findings[signature] = count
        first = count == 1
        if count <= self.args.keep_per_finding:
            os.makedirs(self.args.findings, exist_ok=True)
            base = os.path.join(self.args.findings, hashlib.sha1(data).hexdigest()[:16])
            with open(base + ".par", "wb") as f:
                f.write(data)
            with open(base + ".txt", "w") as f:
                f.write("finding: %s\n" % signature)
                if cut:
                    f.write("input clamped before the run: %s\n" % ", ".join(cut))
                f.write("replay: python fuzz/worker.py %s.par\n\n%s\n" % (base, details))
            where = base + ".par"
        else:
            where = "(not saved again)"
        if first or self.args.verbose:
            print("fuzz: FINDING %s -> %s" % (signature, where), flush=True)
        if self.args.stop_on_finding:
            self.finish()

    def one_input(self, data: bytes):
        if time.monotonic() - self.start >= self.args.seconds:
            self.finish()
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
            signature = {"signal": "engine killed by %s" % detail,
                         "exit": "worker exited with %s" % detail,
                         "timeout": "hang (%s)" % detail}[kind]
            self.record(signature, data, cut, "worker standard error:\n" + stderr)
            return
        signature = judge.verdict(reply)
        if signature is not None:
            self.record(signature, data, cut, json.dumps(reply, indent=1))

    def finish(self):
        self.worker.stop()
        shutil.rmtree(self.tmp, ignore_errors=True)
        elapsed = time.monotonic() - self.start
        total = sum(self.findings.values())
        for signature, count in sorted(self.findings.items()):
            print("fuzz: %6d x %s" % (count, signature))
        print("fuzz: %d runs in %.0f s (%.0f runs/s), %d clamped to nr_particles <= %d and "
              "nrsteps <= %d; %d findings of %d kinds%s"
              % (self.runs, elapsed, self.runs / max(elapsed, 1e-9), self.clamped,
                 self.args.max_particles, self.args.max_steps, total, len(self.findings),
                 " (saved in %s)" % self.args.findings if total else ""), flush=True)
        sys.stdout.flush()
        sys.stderr.flush()
        os._exit(1 if total else 0)  # libFuzzer would otherwise keep going


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--seconds", type=float, default=60.0, help="length of the run (default 60)")
    p.add_argument("--timeout", type=float, default=5.0,
                   help="seconds a single run may take before it is a hang (default 5)")
    p.add_argument("--max-particles", type=int, default=216)
    p.add_argument("--max-steps", type=int, default=20)
    p.add_argument("--threads", type=int, default=2, help="OMP_NUM_THREADS of the worker")
    p.add_argument("--memory-mb", type=int, default=4096, help="address-space limit of the worker")
    p.add_argument("--findings", default=os.path.join(HERE, "findings"))
    p.add_argument("--keep-per-finding", type=int, default=3,
                   help="inputs saved for each kind of finding (default 3)")
    p.add_argument("--stop-on-finding", action="store_true")
    p.add_argument("--verbose", action="store_true")
    p.add_argument("--corpus", default=os.path.join(ROOT, "build", "fuzz", "corpus"),
                   help="working corpus, seeded from examples/*.par and fuzz/corpus/")
    args, libfuzzer = p.parse_known_args()

    os.makedirs(args.corpus, exist_ok=True)
    seeds = [os.path.join(ROOT, "examples", f) for f in sorted(os.listdir(os.path.join(ROOT, "examples")))
             if f.endswith(".par")]
    seeds += [os.path.join(HERE, "corpus", f) for f in sorted(os.listdir(os.path.join(HERE, "corpus")))]
    for s in seeds:
        shutil.copy(s, args.corpus)

    campaign = Campaign(args)
    dictionary = os.path.join(HERE, "parameters.dict")
    argv = [sys.argv[0], "-dict=" + dictionary, "-max_len=2048", "-timeout=%d" % (args.timeout * 6 + 120),
            "-rss_limit_mb=4096", "-report_slow_units=100000",
            "-artifact_prefix=" + os.path.join(ROOT, "build", "fuzz") + "/", "-print_final_stats=0"] + libfuzzer + [args.corpus]
    atheris.Setup(argv, campaign.one_input, custom_mutator=mutate)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
