"""The fuzzer's reading of its inputs and its verdict on what each target did.

This module is instrumented by atheris. The engine runs in another process, so its
own branches give the fuzzer no feedback; the branches here do instead: which lines
the reader accepts, which keys are set and to what kind of value, and which outcome
(a result, or which error naming which key or entry) a run had.

Targets: simulate (parameter files), checkpoint (Simulation.load and run), cli
(the commands of `vorlan` on their input files), starts (start files and system
descriptions), methods (the parameters of the methods and the barostat).
"""
from __future__ import annotations

import re

# The engine's grammar of a line, applied to each line as a whole (std::getline
# splits at '\n' only; '\s' is the classic locale's blank set).
LINE = re.compile(rb"[ \t\n\r\f\v]*([A-Za-z0-9_]+)[ \t\n\r\f\v]*=[ \t\n\r\f\v]*([0-9.]+)[ \t\n\r\f\v]*")

KEYS = ("nr_particles", "cell_length", "kT", "mass", "sigma", "epsilon",
        "rcut", "shell", "tau", "stepsize", "nrsteps")

# Exceptions simulate() may raise; anything else escaping it is a fault.
ALLOWED = ("RuntimeError", "TypeError", "ValueError", "ArithmeticError",
           "MemoryError", "OSError")


def read(data: bytes) -> dict:
    """key -> (line index, value text) of the lines the engine accepts; first wins."""
    params = {}
    for i, line in enumerate(data.split(b"\n")):
        m = LINE.fullmatch(line)
        if m is None:
            continue
        key = m.group(1).decode()
        if key not in params:
            params[key] = (i, m.group(2).decode())
    return params


def clamp(data: bytes, params: dict, max_particles: int, max_steps: int):
    """The file with nr_particles and nrsteps cut to the given bounds when they are
    integers above them, so that one run takes milliseconds; and what was cut."""
    lines = data.split(b"\n")
    cut = []
    for key, bound in (("nr_particles", max_particles), ("nrsteps", max_steps)):
        if key not in params:
            continue
        i, value = params[key]
        if not value.isdigit() or int(value) <= bound:
            continue
        lines[i] = b"%s = %d" % (key.encode(), bound)
        cut.append("%s %s -> %d" % (key, value, bound))
    return b"\n".join(lines), cut


def value_kind(text: str) -> str:
    """A coarse class of a value: the fuzzer is rewarded for reaching new ones."""
    if text.count(".") > 1:
        return "two stops"
    if text == ".":
        return "lone stop"
    if "." in text and text.startswith("."):
        head = "fraction"
    elif text.endswith("."):
        head = "trailing stop"
    elif "." in text:
        head = "decimal"
    else:
        head = "integer"
    x = float(text)
    if x == 0.0:
        return head + " zero"
    if x < 1e-300:
        return head + " subnormal"
    if x < 1e-6:
        return head + " tiny"
    if x < 1.0:
        return head + " small"
    if x < 1e3:
        return head + " moderate"
    if x < 2.0**31:
        return head + " large"
    if x < 1e308:
        return head + " huge"
    return head + " overflowing"


def features(params: dict) -> list:
    """Which keys are present and the kind of each value (for coverage only)."""
    seen = []
    for key in KEYS:
        if key not in params:
            seen.append(key + " missing")
            continue
        kind = value_kind(params[key][1])
        if key == "nr_particles":
            seen.append("N " + kind)
        elif key == "cell_length":
            seen.append("L " + kind)
        elif key == "rcut":
            seen.append("rc " + kind)
        elif key == "shell":
            seen.append("shell " + kind)
        elif key == "stepsize":
            seen.append("dt " + kind)
        elif key == "kT":
            seen.append("kT " + kind)
        elif key == "tau":
            seen.append("tau " + kind)
        else:
            seen.append(key + " " + kind)
    return seen


def relations(params: dict) -> list:
    """How the values relate where the physics has edges (for coverage only)."""
    try:
        v = {k: float(params[k][1]) for k in KEYS if k in params and params[k][1].count(".") <= 1
             and params[k][1] != "."}
    except ValueError:
        return []
    seen = []
    if "rcut" in v and "cell_length" in v:
        if v["rcut"] > v["cell_length"] / 2:
            seen.append("cut-off beyond half the box")
        if "shell" in v and v["cell_length"] > 1e4 * (v["rcut"] + v["shell"]):
            seen.append("more than 1e12 subcells")
    if "stepsize" in v and "tau" in v and v["stepsize"] > v["tau"]:
        seen.append("step longer than the thermostat time")
    if "nr_particles" in v and 1e-100 < v.get("cell_length", 0) < 1e100:
        density = v["nr_particles"] / v["cell_length"] ** 3
        if density > 2.0:
            seen.append("overlapping particles")
        elif density < 1e-6:
            seen.append("dilute")
    if "sigma" in v and "rcut" in v and v["sigma"] > v["rcut"]:
        seen.append("sigma beyond the cut-off")
    if "kT" in v and v.get("mass", 0) > 0 and v["kT"] > 1e6 * v["mass"]:
        seen.append("fast particles")
    return seen


def verdict(reply: dict):
    """None for an allowed outcome, else a short signature of the fault."""
    if "raised" in reply:
        mro, message = reply["raised"], reply["message"]
        if mro[0] == "Exception":
            if message.startswith("Cannot open file"):
                return None
            return "Exception: " + message[:60]
        for name in ALLOWED:
            if name in mro:
                break
        else:
            return "%s escaped simulate(): %s" % (mro[0], message[:60])
        # Which key the message names, so that each error path is a branch of its own.
        for key in KEYS:
            if key in message:
                return None
        if "step" in message or "particle" in message:
            return None
        if "lexical cast" in message:
            return None
        return None
    problems = reply["problems"]
    if not problems:
        return None
    first = problems[0]
    if first.startswith("non-finite"):
        return first.split(":")[0] + " in the result"
    if first.startswith("lattice site outside"):
        return "lattice site outside the box"
    return "malformed result: " + first[:60]


# ---------------------------------------------------------------- checkpoints

# Exceptions Simulation.load and a run after it may raise on a crafted file.
CHECKPOINT_ALLOWED = ("ValueError", "ArithmeticError", "MemoryError")


def checkpoint_verdict(reply: dict):
    """None for an allowed outcome of load + run(2), else a short signature."""
    if "raised" in reply:
        mro, message, stage = reply["raised"], reply["message"], reply["stage"]
        if not any(name in mro for name in CHECKPOINT_ALLOWED):
            return "%s from %s: %s" % (mro[0], "Simulation.load" if stage == "load" else "run(2)", message[:60])
        checkpoint_refusal(stage, message)
        return None
    problems = reply["problems"]
    return problems[0][:80] if problems else None


def checkpoint_refusal(stage: str, message: str) -> str:
    """Which check refused a checkpoint, one branch each: libFuzzer keeps an input
    in its corpus for every branch it reaches first (for coverage only)."""
    if stage == "run":
        return "unstable" if "unstable" in message else "refused in the run"
    if "species" in message:
        return "species"
    if "image counter" in message:
        return "images"
    if "holds a single array" in message:
        return "npy"
    if "no entry" in message:
        return "entry missing"
    if "dimension" in message:
        return "shape"
    if "values outside the range" in message:
        return "index range"
    if "holds" in message:
        return "type"
    if "step" in message or "seed" in message or "time_base" in message:
        return "counters"
    if "parameter_keys" in message:
        return "setting names"
    if "settings" in message:
        return "setting rule"
    if "rows" in message or "three counters" in message:
        return "rows"
    if "must be finite" in message or "is finite" in message:
        return "not finite"
    if "outside the box" in message or "box edge" in message:
        return "box"
    if "neighbor_list" in message:
        return "list layout"
    if "energy log" in message:
        return "log"
    if "method" in message or "barostat" in message:
        return "dynamics"
    if "is not a vorlan checkpoint" in message:
        return "not an npz"
    return "other"


# ---------------------------------------------------------------- command line

def cli_verdict(reply: dict):
    """None when the command ended as a command should: status 0, 1 or 2, no
    traceback, its input untouched, no file left but its outputs."""
    if reply.get("command") is None:
        return None
    command = reply["command"]
    if reply["escaped"] is not None:
        return "%s escaped vorlan %s: %s" % (reply["escaped"]["raised"][0], command,
                                              reply["escaped"]["message"][:60])
    if reply["traceback"]:
        return "traceback from vorlan %s" % command
    if reply["rc"] not in (0, 1, 2):
        return "vorlan %s exited with %r" % (command, reply["rc"])
    if reply["input_changed"]:
        return "vorlan %s changed its input" % command
    if reply["left"]:
        return "vorlan %s left %s" % (command, ", ".join(reply["left"])[:60])
    cli_outcome(command, reply["rc"] == 0)
    return None


def cli_outcome(command: str, ok: bool) -> str:
    """Command and success, one branch each: libFuzzer keeps an input of every
    command in its corpus (for coverage only)."""
    if command == "check .par":
        return "check read" if ok else "check refused"
    if command == "run .par":
        return "run ran" if ok else "run refused"
    if command == "plot .csv":
        return "log drawn" if ok else "log refused"
    if command == "plot .gsd":
        return "g(r) drawn" if ok else "trajectory refused"
    if command == "convert .gsd":
        return "gsd converted" if ok else "gsd refused"
    if command == "convert .xyz":
        return "xyz converted" if ok else "xyz refused"
    if command == "convert .movie":
        return "movie converted" if ok else "movie refused"
    return "sweep drawn" if ok else "sweep refused"


# ---------------------------------------------------------------- starts and methods

# What a start file or a method's parameters may end in besides a run: a refusal.
START_ALLOWED = ("ValueError", "MemoryError")
METHOD_ALLOWED = ("ValueError", "ArithmeticError")


def start_verdict(reply: dict):
    """None when a start file was refused with a ValueError naming its fault (or
    a run from it stopped with an ArithmeticError), or ran to finite numbers."""
    if reply.get("format") is None:
        return None
    fmt = reply["format"]
    if "raised" in reply:
        mro, message, stage = reply["raised"], reply["message"], reply["stage"]
        allowed = START_ALLOWED + (("ArithmeticError",) if stage == "run" else ())
        if not any(name in mro for name in allowed):
            return "%s from a %s start (%s): %s" % (mro[0], fmt, stage, message[:60])
        if not message.strip():
            return "%s without a message from a %s start" % (mro[0], fmt)
        start_refusal(fmt, message)
        return None
    problems = reply["problems"]
    return "%s start: %s" % (fmt, problems[0][:70]) if problems else None


def start_refusal(fmt: str, message: str) -> str:
    """Which check refused a start, one branch each (for coverage only)."""
    for words in ("line", "frame", "chunk", "Lattice", "Properties", "species", "mass", "pair", "density",
                  "overlap", "rcut", "box", "not allowed", "not a valid"):
        if words in message:
            return fmt + " " + words
    return fmt + " other"


def method_verdict(reply: dict):
    """None when the method's parameters were refused with a ValueError or an
    ArithmeticError carrying a message, or the run ended with finite numbers
    and a finite box; anything else (another exception, a refusal without a
    message, NaN reported as success) is a finding."""
    if "raised" in reply:
        mro, message = reply["raised"], reply["message"]
        if not any(name in mro for name in METHOD_ALLOWED):
            return "%s from %s (%s): %s" % (mro[0], reply["method"], reply["stage"], message[:60])
        if not message.strip():
            return "%s without a message from %s" % (mro[0], reply["method"])
        method_refusal(reply["stage"], message)
        return None
    problems = reply["problems"]
    return "%s: %s" % (reply["method"], problems[0][:70]) if problems else None


def method_refusal(stage: str, message: str) -> str:
    """Which parameter a refusal names, one branch each (for coverage only)."""
    for words in ("tau", "friction", "chain", "pressure", "compressibility", "kT", "stepsize", "seed", "box",
                  "step", "thermostat"):
        if words in message:
            return stage + " " + words
    return stage + " other"


VERDICTS = {"simulate": verdict, "checkpoint": checkpoint_verdict, "cli": cli_verdict, "starts": start_verdict,
            "methods": method_verdict}


def outcome(target: str, reply: dict) -> str:
    """A coarse kind of an allowed outcome, counted in the fuzzer's summary."""
    if target == "checkpoint":
        return "refused by load" if reply.get("stage") == "load" else "failed in the run" if "raised" in reply \
            else "loaded and ran"
    if target == "cli":
        return "status %s" % reply.get("rc")
    if target in ("starts", "methods"):
        return "refused" if reply.get("stage") == "start" else "failed in the run" if "raised" in reply else "ran"
    return "raised" if "raised" in reply else "ran"
