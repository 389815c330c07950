// The extension module vorlan.vorlan: type Vorlan, whose simulate(filename) runs
// one whole simulation and returns energies and configurations.
//
// Multi-phase initialisation. The module exists once per process: create hands
// back the same module object on every import, and only the first interpreter
// may load it (the engine's random sequence and the module state are
// process-wide). The interpreter lock is held for the whole of simulate; pending
// signals are looked at between steps, so Ctrl-C ends a run with
// KeyboardInterrupt after the step under way.
//
// simulate keeps the Python-level behaviour that callers can observe and rely
// on: the existence test goes through the module global os (os.path.exists), the
// step numbers come from iterating a Python range(0, nrsteps), and each
// configuration becomes a list, then np.array(list), then .reshape(N, 3) through
// the module global np. Rebinding os or np in the module, or a NumPy that hooks
// array creation, therefore sees exactly the calls it always saw. The engine
// side goes through the run API (read_run_settings, Run::advance one step at a
// time, the energies from the run's log), the same path as vorlan-run and
// vorlan._core.
//
// Only public C API is used (it builds on CPython 3.9 to 3.13). Where the public
// way to do something changed between versions (the pending error as one object
// from 3.12, the dictionary of a builtin type from 3.12, a frame's line before
// 3.11), the place is guarded by version and says why.
//
// Sections: process state, helpers, simulate, the Vorlan type, create, exec,
// module definition.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>

#include <memory>
#include <string>
#include <vector>

#include "cell.h"
#include "parameters.h"
#include "run.h"
#include "translate.h"

namespace {

const char* const source_file = "vorlan/vorlan.cpp";

// ---------------------------------------------------------------- process state

PY_INT64_T main_interpreter_id = -1;  // the first interpreter that created the module
PyObject* module_object = nullptr;    // the one module object; cleared when exec fails
PyObject* module_dict = nullptr;      // its namespace: where os and np are looked up
PyObject* builtins_module = nullptr;
PyObject* builtin_range = nullptr;
PyObject* builtin_TypeError = nullptr;
PyObject* empty_tuple = nullptr;
PyObject* pickle_error_args = nullptr;  // ("no default __reduce__ ...",)

// Identifiers (interned) and texts used at run time, made once by exec.
struct Constants {
    PyObject* os;
    PyObject* path;
    PyObject* exists;
    PyObject* encode;
    PyObject* utf_8;
    PyObject* cannot_open;
    PyObject* np;
    PyObject* array;
    PyObject* reshape;
    PyObject* range;
    PyObject* TypeError;
    PyObject* getstate;
    PyObject* reduce_ex;
    PyObject* reduce;
    PyObject* setstate;
    PyObject* vorlan_vorlan;
    PyObject* pickle_message;
    PyObject* ekin;
    PyObject* epot;
    PyObject* etot;
    PyObject* nrsteps;
    PyObject* nrparticles;
    PyObject* positions;
    PyObject* velocities;
    PyObject* positions_initial;
    PyObject* velocities_initial;
    PyObject* int_0;
    PyObject* int_3;
} k;

// ---------------------------------------------------------------- helpers

// Owns one reference.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* o) : obj(o) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(obj); }
    PyObject* get() const { return obj; }
    PyObject* release() { PyObject* o = obj; obj = nullptr; return o; }
    explicit operator bool() const { return obj != nullptr; }

private:
    PyObject* obj = nullptr;
};

// Runs native code; a C++ exception becomes the matching Python exception.
template <typename F>
bool guarded(F&& f)
{
    try {
        f();
        return true;
    } catch (...) {
        translate_exception();
        return false;
    }
}

// A name in builtins. New reference, or NULL with NameError.
PyObject* builtin(PyObject* name)
{
    PyObject* value = PyObject_GetAttr(builtins_module, name);
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return value;
}

// A module global, looked up at each use (so rebinding it takes effect), then
// the builtins. New reference, or NULL with NameError.
PyObject* module_global(PyObject* name)
{
    PyObject* value = PyDict_GetItemWithError(module_dict, name);
    if (value) {
        Py_INCREF(value);
        return value;
    }
    if (PyErr_Occurred())
        return nullptr;
    return builtin(name);
}

// Adds a traceback entry "function" at source_file:line to the pending error,
// the way the interpreter adds one for a Python frame. Public API only: an empty
// code object and a frame for it, then PyTraceBack_Here.
void add_traceback(const char* function, int line)
{
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* raised = PyErr_GetRaisedException();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
#endif
    PyCodeObject* code = PyCode_NewEmpty(source_file, function, line);
    PyObject* globals = PyDict_New();
    PyFrameObject* frame = (code && globals) ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
#if PY_VERSION_HEX < 0x030B0000
    if (frame)
        frame->f_lineno = line;  // before 3.11 a frame keeps its line here; later ones take it from the code
#endif
    PyErr_Clear();  // an entry that cannot be made is left out; the error itself stands
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(raised);
#else
    PyErr_Restore(type, value, tb);
#endif
    if (frame)
        PyTraceBack_Here(frame);
    Py_XDECREF(frame);
    Py_XDECREF(globals);
    Py_XDECREF(code);
}

// Raises Exception("Cannot open file: " + filename), built by Python string
// concatenation (so a name that is not a str fails with its TypeError).
void raise_cannot_open(PyObject* filename)
{
    Ref message(PyNumber_Add(k.cannot_open, filename));
    if (!message)
        return;
    Ref error(PyObject_CallOneArg(PyExc_Exception, message.get()));
    if (error)
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
}

// bytes, bytearray or str (as UTF-8) to a byte string, zero bytes included.
bool to_std_string(PyObject* o, std::string& out)
{
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyByteArray_Check(o)) {
        data = PyByteArray_AS_STRING(o);
        size = PyByteArray_GET_SIZE(o);
    } else if (PyUnicode_Check(o)) {
        data = const_cast<char*>(PyUnicode_AsUTF8AndSize(o, &size));
        if (!data)
            return false;
    } else if (PyBytes_AsStringAndSize(o, &data, &size) < 0) {
        return false;
    }
    return guarded([&] { out.assign(data, static_cast<std::size_t>(size)); });
}

PyObject* to_list(const std::vector<double>& v)
{
    Ref list(PyList_New(static_cast<Py_ssize_t>(v.size())));
    if (!list)
        return nullptr;
    for (std::size_t i = 0; i < v.size(); ++i) {
        PyObject* f = PyFloat_FromDouble(v[i]);
        if (!f)
            return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), f);
    }
    return list.release();
}

// ---------------------------------------------------------------- simulate

// On failure a function records the line for the traceback entry and returns
// its failure value ({}: NULL for a pointer, false for a bool).
#define FAIL_IF(cond)         \
    do {                      \
        if (cond) {           \
            line = __LINE__;  \
            return {};        \
        }                     \
    } while (0)

// os.path.exists(filename), and the Exception of a missing file.
bool check_exists(PyObject* filename, int& line)
{
    Ref os(module_global(k.os));
    FAIL_IF(!os);
    Ref path(PyObject_GetAttr(os.get(), k.path));
    FAIL_IF(!path);
    Ref exists(PyObject_GetAttr(path.get(), k.exists));
    FAIL_IF(!exists);
    Ref found(PyObject_CallOneArg(exists.get(), filename));
    FAIL_IF(!found);
    const int truth = PyObject_IsTrue(found.get());
    FAIL_IF(truth < 0);
    if (!truth) {
        raise_cannot_open(filename);
        FAIL_IF(true);
    }
    return true;
}

// The parameter set, from the UTF-8 path; a path that exists but is not a
// readable regular file fails as a missing one.
bool read_parameters(PyObject* filename, std::shared_ptr<Parameters>& parameters, int& line)
{
    std::string path;
    {
        Ref encoded(PyObject_CallMethodOneArg(filename, k.encode, k.utf_8));
        FAIL_IF(!encoded);
        FAIL_IF(!to_std_string(encoded.get(), path));
    }
    bool unreadable = false;
    FAIL_IF(!guarded([&] {
        try {
            parameters.reset(new Parameters(path));
        } catch (const ParameterFileError&) {
            unreadable = true;
        }
    }));
    if (unreadable) {
        raise_cannot_open(filename);
        FAIL_IF(true);
    }
    return true;
}

// The steps of a simulate call: Ctrl-C (a pending signal) ends the run between steps.
struct SignalObserver {
    void start(unsigned int) {}
    void every(unsigned int) {}
    void last(unsigned int, bool) {}
    bool go_on(unsigned int) { return PyErr_CheckSignals() == 0; }
};

// The steps of range(0, nrsteps), one Run::advance(1) for each step number the
// range yields (the run numbers them 0, 1, ... as the range does), the energies
// logged by the run; a pending signal ends the run between steps.
bool run_recording(Run& run, PyObject* nrsteps, int& line)
{
    Ref range(PyObject_CallFunctionObjArgs(builtin_range, k.int_0, nrsteps, nullptr));
    FAIL_IF(!range);
    Ref steps_iter(PyObject_GetIter(range.get()));
    FAIL_IF(!steps_iter);
    SignalObserver observer;
    for (;;) {
        Ref i(PyIter_Next(steps_iter.get()));
        if (!i)
            break;
        const double step = PyFloat_AsDouble(i.get());
        FAIL_IF(step == -1.0 && PyErr_Occurred());
        FAIL_IF(!guarded([&] { run.advance(1, observer); }));
        FAIL_IF(run.stopped());
    }
    if (PyErr_Occurred()) {
        FAIL_IF(!PyErr_ExceptionMatches(PyExc_StopIteration));
        PyErr_Clear();
    }
    return true;
}

// The run's energy log as the three lists ekin, epot, etot of the result.
bool add_energies(const EnergyLog& log, PyObject* results, int& line)
{
    const struct {
        PyObject* key;
        const std::vector<double>& values;
    } lists[] = {{k.ekin, log.ekin}, {k.epot, log.epot}, {k.etot, log.etot}};
    for (const auto& l : lists) {
        Ref list(to_list(l.values));
        FAIL_IF(!list);
        FAIL_IF(PyDict_SetItem(results, l.key, list.get()) < 0);
    }
    return true;
}

// The four configurations, each as np.array(list of 3N floats).reshape(N, 3).
bool add_configurations(const Cell& cell, PyObject* results, PyObject* nrparticles, int& line)
{
    using Accessor = std::vector<double> (Cell::*)() const;
    const struct {
        PyObject* key;
        Accessor get;
    } arrays[] = {
        {k.positions, &Cell::get_positions},
        {k.velocities, &Cell::get_velocities},
        {k.positions_initial, &Cell::get_initial_positions},
        {k.velocities_initial, &Cell::get_initial_velocities},
    };
    for (const auto& a : arrays) {
        Ref np(module_global(k.np));
        FAIL_IF(!np);
        Ref np_array(PyObject_GetAttr(np.get(), k.array));
        FAIL_IF(!np_array);
        std::vector<double> flat;
        FAIL_IF(!guarded([&] { flat = (cell.*(a.get))(); }));
        Ref values(to_list(flat));
        FAIL_IF(!values);
        Ref flat_array(PyObject_CallOneArg(np_array.get(), values.get()));
        FAIL_IF(!flat_array);
        Ref shaped(PyObject_CallMethodObjArgs(flat_array.get(), k.reshape, nrparticles, k.int_3, nullptr));
        FAIL_IF(!shaped);
        FAIL_IF(PyDict_SetItem(results, a.key, shaped.get()) < 0);
    }
    return true;
}

// The run itself; on failure returns NULL with `line` set for the traceback.
// The Cell is destroyed before the Parameters handle on every way out.
PyObject* run_simulation(PyObject* filename, int& line)
{
    std::shared_ptr<Parameters> parameters;
    std::unique_ptr<Cell> cell;

    // The file must exist before anything native is built.
    if (!check_exists(filename, line) || !read_parameters(filename, parameters, line))
        return nullptr;

    // Run settings, read before the Cell exists.
    RunSettings settings{};
    FAIL_IF(!guarded([&] { settings = read_run_settings(*parameters); }));
    Ref nrsteps(PyLong_FromUnsignedLong(settings.nrsteps));
    FAIL_IF(!nrsteps);
    Ref nrparticles(PyLong_FromUnsignedLong(settings.nr_particles));
    FAIL_IF(!nrparticles);

    // The box: lattice, velocities, first list and forces.
    FAIL_IF(!guarded([&] { cell.reset(new Cell(parameters)); }));

    Run run(*cell, parameters, 0, true, false);
    if (!run_recording(run, nrsteps.get(), line))
        return nullptr;

    // The result dictionary, in its fixed key order.
    Ref results(PyDict_New());
    FAIL_IF(!results);
    if (!add_energies(run.log(), results.get(), line))
        return nullptr;
    FAIL_IF(PyDict_SetItem(results.get(), k.nrsteps, nrsteps.get()) < 0);
    FAIL_IF(PyDict_SetItem(results.get(), k.nrparticles, nrparticles.get()) < 0);
    if (!add_configurations(*cell, results.get(), nrparticles.get(), line))
        return nullptr;

    cell.reset();
    return results.release();
}

PyObject* Vorlan_simulate(PyObject* /*self*/, PyObject* filename)
{
    int line = 0;
    PyObject* results = run_simulation(filename, line);
    if (!results)
        add_traceback("vorlan.vorlan.Vorlan.simulate", line);
    return results;
}

// ---------------------------------------------------------------- type Vorlan

PyObject* Vorlan_refuse_pickling()
{
    Ref error(PyObject_Call(builtin_TypeError, pickle_error_args, nullptr));
    if (error)
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    return nullptr;
}

PyObject* Vorlan_reduce(PyObject* /*self*/, PyObject* /*unused*/)
{
    return Vorlan_refuse_pickling();
}

PyObject* Vorlan_setstate(PyObject* /*self*/, PyObject* /*state*/)
{
    return Vorlan_refuse_pickling();
}

PyMethodDef Vorlan_methods[] = {
    {"simulate", Vorlan_simulate, METH_O, nullptr},
    {"__reduce__", Vorlan_reduce, METH_NOARGS, nullptr},
    {"__setstate__", Vorlan_setstate, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Arguments are ignored; object.__init__ accepts them because __new__ is ours.
PyObject* Vorlan_new(PyTypeObject* type, PyObject* /*args*/, PyObject* /*kwds*/)
{
    if (type->tp_flags & Py_TPFLAGS_IS_ABSTRACT)
        return PyBaseObject_Type.tp_new(type, empty_tuple, nullptr);  // reports the abstract type
    return type->tp_alloc(type, 0);
}

void Vorlan_dealloc(PyObject* self)
{
    PyTypeObject* type = Py_TYPE(self);
    if (type->tp_finalize && (!PyType_IS_GC(type) || !PyObject_GC_IsFinalized(self))) {
        if (PyObject_CallFinalizerFromDealloc(self) < 0)
            return;  // resurrected
    }
    type->tp_free(self);
}

PyTypeObject VorlanType{};  // static type, finished by exec

int ready_type()
{
    if (VorlanType.tp_flags & Py_TPFLAGS_READY)
        return 0;  // finished by an earlier exec that failed later on
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&VorlanType), 1);  // statically allocated: never freed
    VorlanType.tp_name = "vorlan.vorlan.Vorlan";
    VorlanType.tp_basicsize = sizeof(PyObject);
    VorlanType.tp_dealloc = Vorlan_dealloc;
    VorlanType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    VorlanType.tp_methods = Vorlan_methods;
    VorlanType.tp_new = Vorlan_new;
    return PyType_Ready(&VorlanType);
}

// The refusing __reduce__ and __setstate__ come from the method table; they must
// be what the type's own dictionary holds under those names, ahead of object's.
// A type that pickles some other way (its own __getstate__ or __reduce_ex__) is
// left alone.
// The dictionary of a type. From 3.12 on the one of a static builtin type such
// as object lives in the interpreter state (tp_dict is NULL there), and
// PyType_GetDict is the public way to it; earlier versions lack that function.
// New reference, or NULL with an error set.
PyObject* type_dict(PyTypeObject* type)
{
#if PY_VERSION_HEX >= 0x030C0000
    return PyType_GetDict(type);
#else
    Py_XINCREF(type->tp_dict);
    return type->tp_dict;
#endif
}

// What the method resolution order of `type` holds under `name`: the first
// entry in the dictionaries of its MRO, without descriptor binding or the
// metatype. Borrowed (the type dictionaries keep it), or NULL; *failed tells an
// error from absence.
PyObject* lookup_in_mro(PyTypeObject* type, PyObject* name, bool* failed)
{
    *failed = false;
    PyObject* mro = type->tp_mro;
    for (Py_ssize_t i = 0; mro && i < PyTuple_GET_SIZE(mro); ++i) {
        Ref dict(type_dict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))));
        if (!dict) {
            *failed = true;
            return nullptr;
        }
        PyObject* value = PyDict_GetItemWithError(dict.get(), name);
        if (value || PyErr_Occurred()) {
            *failed = !value;
            return value;
        }
    }
    return nullptr;
}

int setup_pickling(PyTypeObject* type)
{
    for (PyObject* name : {k.getstate, k.reduce_ex}) {
        bool failed_own = false, failed_base = false;
        PyObject* own = lookup_in_mro(type, name, &failed_own);
        PyObject* base = lookup_in_mro(&PyBaseObject_Type, name, &failed_base);
        if (failed_own || failed_base)
            return -1;
        if (own != base)
            return 0;
    }
    Ref dict(type_dict(type));
    if (!dict)
        return -1;
    for (PyObject* name : {k.reduce, k.setstate}) {
        PyObject* method = PyDict_GetItemWithError(dict.get(), name);
        if (!method || PyDict_SetItem(dict.get(), name, method) < 0) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_RuntimeError, "Unable to initialize pickling for %s", type->tp_name);
            return -1;
        }
    }
    PyType_Modified(type);
    return 0;
}

// ---------------------------------------------------------------- create

// Copies spec.<from> to module.__dict__[to]; a missing attribute is skipped.
int copy_spec_attr(PyObject* spec, PyObject* moddict, const char* from, const char* to, bool allow_none)
{
    Ref value(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return -1;
        PyErr_Clear();
        return 0;
    }
    if (value.get() == Py_None && !allow_none)
        return 0;
    return PyDict_SetItemString(moddict, to, value.get());
}

PyObject* vorlan_create(PyObject* spec, PyModuleDef* /*def*/)
{
    const PY_INT64_T current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (main_interpreter_id == -1) {
        main_interpreter_id = current;
        if (current == -1)
            return nullptr;
    } else if (current != main_interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    if (module_object) {
        Py_INCREF(module_object);
        return module_object;
    }

    Ref name(PyObject_GetAttrString(spec, "name"));
    if (!name)
        return nullptr;
    Ref module(PyModule_NewObject(name.get()));
    if (!module)
        return nullptr;
    PyObject* moddict = PyModule_GetDict(module.get());
    if (copy_spec_attr(spec, moddict, "loader", "__loader__", true) < 0 ||
        copy_spec_attr(spec, moddict, "origin", "__file__", true) < 0 ||
        copy_spec_attr(spec, moddict, "parent", "__package__", true) < 0 ||
        copy_spec_attr(spec, moddict, "submodule_search_locations", "__path__", false) < 0)
        return nullptr;
    return module.release();
}

// ---------------------------------------------------------------- exec

// Stores a new reference in a process-wide slot, dropping whatever an earlier,
// failed exec left there. False when `value` is NULL.
bool keep(PyObject*& slot, PyObject* value)
{
    Py_XSETREF(slot, value);
    return value != nullptr;
}

bool make_constants()
{
    const struct {
        PyObject** slot;
        const char* text;
    } identifiers[] = {
        {&k.os, "os"}, {&k.path, "path"}, {&k.exists, "exists"}, {&k.encode, "encode"},
        {&k.np, "np"}, {&k.array, "array"}, {&k.reshape, "reshape"}, {&k.range, "range"},
        {&k.TypeError, "TypeError"}, {&k.getstate, "__getstate__"}, {&k.reduce_ex, "__reduce_ex__"},
        {&k.reduce, "__reduce__"}, {&k.setstate, "__setstate__"}, {&k.ekin, "ekin"},
        {&k.epot, "epot"}, {&k.etot, "etot"}, {&k.nrsteps, "nrsteps"}, {&k.nrparticles, "nrparticles"},
        {&k.positions, "positions"}, {&k.velocities, "velocities"},
        {&k.positions_initial, "positions_initial"}, {&k.velocities_initial, "velocities_initial"},
    };
    for (const auto& id : identifiers) {
        if (!keep(*id.slot, PyUnicode_InternFromString(id.text)))
            return false;
    }
    return keep(k.utf_8, PyUnicode_FromString("utf-8")) &&
           keep(k.cannot_open, PyUnicode_FromString("Cannot open file: ")) &&
           keep(k.vorlan_vorlan, PyUnicode_FromString("vorlan.vorlan")) &&
           keep(k.pickle_message, PyUnicode_FromString("no default __reduce__ due to non-trivial __cinit__")) &&
           keep(k.int_0, PyLong_FromLong(0)) && keep(k.int_3, PyLong_FromLong(3));
}

// Absolute import of `name`, bound in the module namespace as `as`.
bool import_as(const char* name, const char* as)
{
    Ref modname(PyUnicode_FromString(name));
    Ref locals(PyDict_New());
    Ref fromlist(PyList_New(0));
    if (!modname || !locals || !fromlist)
        return false;
    Ref imported(PyImport_ImportModuleLevelObject(modname.get(), module_dict, locals.get(), fromlist.get(), 0));
    return imported && PyDict_SetItemString(module_dict, as, imported.get()) == 0;
}

// The module namespace: builtins, constants, the Vorlan type, the imports. On
// failure returns false with `line` set for the traceback.
bool fill_module(PyObject* module, int& line)
{
    Py_INCREF(PyModule_GetDict(module));
    Py_XSETREF(module_dict, PyModule_GetDict(module));
    FAIL_IF(!keep(builtins_module, PyImport_ImportModule("builtins")));
    FAIL_IF(PyDict_SetItemString(module_dict, "__builtins__", builtins_module) < 0);

    FAIL_IF(!make_constants());

    {
        PyObject* modules = PyImport_GetModuleDict();
        PyObject* existing = PyDict_GetItemWithError(modules, k.vorlan_vorlan);
        FAIL_IF(!existing && PyErr_Occurred());
        FAIL_IF(!existing && PyDict_SetItem(modules, k.vorlan_vorlan, module) < 0);
    }

    FAIL_IF(!keep(builtin_range, builtin(k.range)));
    FAIL_IF(!keep(builtin_TypeError, builtin(k.TypeError)));
    FAIL_IF(!keep(pickle_error_args, PyTuple_Pack(1, k.pickle_message)));

    FAIL_IF(ready_type() < 0);
    FAIL_IF(PyDict_SetItemString(module_dict, "Vorlan", reinterpret_cast<PyObject*>(&VorlanType)) < 0);
    FAIL_IF(setup_pickling(&VorlanType) < 0);

    FAIL_IF(!import_as("numpy", "np"));
    FAIL_IF(!import_as("sys", "sys"));
    FAIL_IF(!import_as("os", "os"));

    Ref test(PyDict_New());
    FAIL_IF(!test || PyDict_SetItemString(module_dict, "__test__", test.get()) < 0);
    return true;
}

int vorlan_exec(PyObject* module)
{
    if (module_object) {
        if (module_object == module)
            return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'vorlan' has already been imported. Re-initialisation is not supported.");
        return -1;
    }

    char ctversion[4];
    char rtversion[4];
    PyOS_snprintf(ctversion, sizeof ctversion, "%d.%d", PY_MAJOR_VERSION, PY_MINOR_VERSION);
    PyOS_snprintf(rtversion, sizeof rtversion, "%s", Py_GetVersion());
    if (version_mismatch(ctversion, rtversion)) {
        char message[200];
        PyOS_snprintf(message, sizeof message, "compiletime version %s of module '%.100s' does not match runtime version %s",
                      ctversion, "vorlan.vorlan", rtversion);
        if (PyErr_WarnEx(nullptr, message, 1) < 0)
            return -1;
    }

    if (!empty_tuple && !(empty_tuple = PyTuple_New(0))) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_ImportError, "init vorlan.vorlan");
        return -1;
    }

    Py_INCREF(module);
    module_object = module;
    int line = 0;
    if (fill_module(module, line))
        return 0;
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_ImportError, "init vorlan.vorlan");
    add_traceback("init vorlan.vorlan", line);
    Py_CLEAR(module_dict);
    Py_CLEAR(module_object);  // the next import attempt starts over
    return -1;
}

#undef FAIL_IF

// ---------------------------------------------------------------- module definition

PyModuleDef_Slot vorlan_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(vorlan_create)},
    {Py_mod_exec, reinterpret_cast<void*>(vorlan_exec)},
    {0, nullptr},
};

PyModuleDef vorlan_def = {
    PyModuleDef_HEAD_INIT,
    "vorlan",  // m_name
    nullptr,   // m_doc
    0,         // m_size: all state is process-wide
    nullptr,   // m_methods
    vorlan_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_vorlan(void) { return PyModuleDef_Init(&vorlan_def); }
