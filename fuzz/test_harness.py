"""The fuzzer's own checks: its reading of a file agrees with the engine's (the
clamp depends on it), its verdicts, and its worker's recovery from a crash or hang.
Run by `make fuzz` before fuzzing, in the fuzzer's environment."""
from __future__ import annotations

import os
import signal
import threading

import pytest

import campaign
import judge
import worker as worker_module
from vorlan.vorlan import Vorlan

BASE = {"nr_particles": "8", "cell_length": "4", "kT": "1", "mass": "1", "sigma": "1", "epsilon": "1",
        "rcut": "1.5", "shell": "0.3", "tau": "0.5", "stepsize": "0.001", "nrsteps": "3"}


def par(tmp_path, extra=b"", **changes):
    values = dict(BASE, **changes)
    data = extra + b"".join(b"%s = %s\n" % (k.encode(), v.encode()) for k, v in values.items())
    path = tmp_path / "run.par"
    path.write_bytes(data)
    return data, str(path)


@pytest.mark.parametrize("line", [
    b"nrsteps = 2", b"\tnrsteps\t=\t2\t", b"nrsteps=2\r", b"\x0bnrsteps = 2\x0c",
    b"nrsteps = 2.", b"nrsteps = 2 # two", b"nrsteps = -2", b"nrsteps = 2e0", b"NRSTEPS = 2",
    b"nrsteps = \xa02", b"nrsteps == 2", b"nrsteps = 2\r\nnrsteps = 1",
])
def test_reader_agrees_with_the_engine(tmp_path, line):
    data, path = par(tmp_path, extra=line + b"\n")
    seen = judge.read(data)["nrsteps"][1]
    try:
        engine = str(Vorlan().simulate(path)["nrsteps"])
    except TypeError:  # the engine took the line but the value is no integer
        engine = None
    assert engine == (seen if seen.isdigit() else None)


def test_clamp_cuts_only_the_key_that_wins(tmp_path):
    data = b"nr_particles = 5000\nnrsteps = 7\nnrsteps = 90000\nnr_particles = 1\n"
    clamped, cut = judge.clamp(data, judge.read(data), 216, 20)
    assert clamped == b"nr_particles = 216\nnrsteps = 7\nnrsteps = 90000\nnr_particles = 1\n"
    assert cut == ["nr_particles 5000 -> 216"]


@pytest.mark.parametrize("reply, allowed", [
    ({"raised": ["Exception", "BaseException", "object"], "message": "Cannot open file: x"}, True),
    ({"raised": ["Exception", "BaseException", "object"], "message": "something else"}, False),
    ({"raised": ["OverflowError", "ArithmeticError", "Exception"], "message": "step 3"}, True),
    ({"raised": ["IndexError", "LookupError", "Exception"], "message": "vector"}, False),
    ({"raised": ["SystemError", "Exception"], "message": "NULL result"}, False),
    ({"problems": []}, True),
    ({"problems": ["non-finite epot: nan after step 1 (1 of 3 values)"]}, False),
    ({"problems": ["lattice site outside the box: positions_initial[1, 2] = 0.0, cell_length = 1e+200"]}, False),
])
def test_verdict(reply, allowed):
    assert (judge.verdict(reply) is None) == allowed


@pytest.fixture
def worker(tmp_path):
    w = campaign.Worker(timeout=3.0, memory_bytes=4 << 30, threads=1, log=str(tmp_path / "err"))
    yield w
    w.stop()


def test_worker_reports_results_and_errors(tmp_path, worker):
    _, path = par(tmp_path)
    assert worker.run(path) == {"problems": [], "nrparticles": 8}
    # a result whose lattice lies outside the box read from the file is a finding
    problems = worker_module.check_result(Vorlan().simulate(par(tmp_path)[1]), 3.0)
    assert problems and problems[0].startswith("lattice site outside the box")
    _, path = par(tmp_path, cell_length="0")
    assert worker.run(path)["raised"][0] == "ValueError"


def test_worker_killed_or_hanging_is_a_finding_and_restarts(tmp_path, worker):
    long_data, _ = par(tmp_path, nr_particles="4000", cell_length="16.9", nrsteps="100000")
    slow = tmp_path / "slow.par"
    slow.write_bytes(long_data)
    slow = str(slow)
    _, quick = par(tmp_path)

    assert worker.run(slow)[:2] == ("timeout", "no answer within 3 s")
    worker.start()
    threading.Timer(1.0, os.kill, (worker.proc.pid, signal.SIGSEGV)).start()
    kind, detail, stderr = worker.run(slow)
    assert (kind, detail) == ("signal", "SIGSEGV")
    assert "Fatal Python error: Segmentation fault" in stderr
    assert worker.run(quick)["problems"] == []


@pytest.mark.parametrize("reply, allowed", [
    ({"stage": "load", "raised": ["ValueError", "Exception"], "message": "x is not a vorlan checkpoint"}, True),
    ({"stage": "run", "raised": ["ArithmeticError", "Exception"], "message": "unstable"}, True),
    ({"stage": "load", "raised": ["TypeError", "Exception"], "message": "incompatible function arguments"}, False),
    ({"stage": "load", "raised": ["KeyError", "LookupError", "Exception"], "message": "'seed'"}, False),
    ({"problems": []}, True),
    ({"problems": ["non-finite positions after load and run"]}, False),
])
def test_checkpoint_verdict(reply, allowed):
    assert (judge.checkpoint_verdict(reply) is None) == allowed


@pytest.mark.parametrize("changes, allowed", [
    ({}, True),
    ({"rc": 1}, True),
    ({"escaped": {"raised": ["Error", "Exception"], "message": "line contains NUL"}, "rc": None}, False),
    ({"traceback": True}, False),
    ({"input_changed": True}, False),
    ({"left": [".fig.png.0badf00d.tmp"]}, False),
])
def test_cli_verdict(changes, allowed):
    reply = dict({"command": "plot .csv", "rc": 0, "escaped": None, "traceback": False, "stderr": "",
                  "input_changed": False, "left": []}, **changes)
    assert (judge.cli_verdict(reply) is None) == allowed


@pytest.mark.parametrize("target, reply, allowed", [
    ("starts", {"format": ".xyz", "stage": "start", "raised": ["ValueError", "Exception"],
                "message": "s.xyz, frame 0 (line 1): 10 particles announced, 2 lines follow"}, True),
    ("starts", {"format": ".data", "stage": "start", "raised": ["KeyError", "LookupError", "Exception"],
                "message": "'1'"}, False),
    ("starts", {"format": ".gsd", "stage": "run", "raised": ["ArithmeticError", "Exception"], "message": "unstable"},
     True),
    ("starts", {"format": ".toml", "problems": ["non-finite positions after load and run"]}, False),
    ("methods", {"method": "bussi", "stage": "start", "raised": ["ValueError", "Exception"],
                 "message": "tau = 0 is not allowed"}, True),
    ("methods", {"method": "bussi", "stage": "run", "raised": ["ArithmeticError", "Exception"], "message": ""}, False),
    ("methods", {"method": "berendsen + crescale", "problems": ["non-finite box after the run"]}, False),
    ("methods", {"method": "nve", "stage": "run", "raised": ["IndexError", "LookupError", "Exception"],
                 "message": "x"}, False),
])
def test_start_and_method_verdicts(target, reply, allowed):
    assert (judge.VERDICTS[target](reply) is None) == allowed


@pytest.mark.parametrize("target", ["checkpoint", "cli", "starts", "methods"])
def test_seeds_of_a_target_run_clean(tmp_path, target):
    worker_module.write_seeds(target, str(tmp_path))
    seeds = sorted(tmp_path.iterdir())
    assert len(seeds) >= 4
    for seed in seeds:
        reply = worker_module.TARGETS[target](str(seed))
        assert judge.VERDICTS[target](reply) is None and reply.get("rc", 0) == 0, reply
