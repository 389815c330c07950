"""The extension type Vorlan: construction, layout, pickling refusal, the
calling convention of simulate and its traceback entry."""

import abc
import copy
import gc
import pickle
import traceback
import weakref

import pytest

from vorlan.vorlan import Vorlan

PICKLE_REFUSAL = "no default __reduce__ due to non-trivial __cinit__"


@pytest.mark.parametrize(
    "refuse",
    [pickle.dumps, copy.copy, copy.deepcopy, lambda v: v.__reduce__(), lambda v: v.__setstate__({})],
    ids=["pickle.dumps", "copy.copy", "copy.deepcopy", "__reduce__", "__setstate__"],
)
def test_pickling_and_copying_are_refused(refuse):
    with pytest.raises(TypeError) as info:
        refuse(Vorlan())
    assert str(info.value) == PICKLE_REFUSAL
    assert type(info.value) is TypeError


def test_constructor_ignores_its_arguments():
    assert repr(Vorlan) == "<class 'vorlan.vorlan.Vorlan'>"
    for v in (Vorlan(), Vorlan(1, 2, x=3), Vorlan(x=1)):
        assert type(v) is Vorlan


def test_instances_have_no_dict_weakref_or_gc_tracking():
    v = Vorlan()
    with pytest.raises(AttributeError):
        v.attr = 1
    assert not hasattr(v, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(v)
    assert not gc.is_tracked(v)


def test_subclass_gets_a_dict_and_simulates(param_file):
    class Sub(Vorlan):
        pass

    s = Sub()
    s.attr = 1
    assert weakref.ref(s)() is s
    path = param_file({"nrsteps": "2"})
    assert list(s.simulate(path)) == list(Vorlan().simulate(path))
    with pytest.raises(TypeError, match=PICKLE_REFUSAL):
        pickle.dumps(s)


def test_subclass_finaliser_runs_once():
    calls = []

    class Finalised(Vorlan):
        def __del__(self):
            calls.append(self.tag)

    f = Finalised()
    f.tag = "first"
    del f
    Finalised().tag = "second"
    gc.collect()
    assert calls == ["first", "second"]


def test_abstract_subclass_cannot_be_instantiated():
    class Abstract(Vorlan, metaclass=abc.ABCMeta):
        @abc.abstractmethod
        def f(self):
            pass

    with pytest.raises(TypeError, match="abstract"):
        Abstract()


@pytest.mark.parametrize(
    "call",
    [lambda v: v.simulate(), lambda v: v.simulate("a", "b"), lambda v: v.simulate(filename="a")],
    ids=["no argument", "two arguments", "keyword"],
)
def test_simulate_takes_exactly_one_positional_argument(call):
    with pytest.raises(TypeError, match="simulate"):
        call(Vorlan())


def test_failing_simulate_names_itself_in_the_traceback(param_file):
    path = param_file({"stepsize": None})
    with pytest.raises(RuntimeError) as info:
        Vorlan().simulate(path)
    last = traceback.extract_tb(info.value.__traceback__)[-1]
    assert last.name == "vorlan.vorlan.Vorlan.simulate"
    assert last.filename.startswith("vorlan/vorlan")
