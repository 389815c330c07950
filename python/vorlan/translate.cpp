#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "translate.h"

#include <exception>
#include <ios>
#include <new>
#include <stdexcept>
#include <typeinfo>

void translate_exception()
{
    if (PyErr_Occurred())
        return;  // the Python error raised on the way wins
    // The rows are tried in this fixed order and the first that matches wins; a
    // type derived from two of them (or from a row and std::exception) takes the
    // earlier row.
    try {
        throw;
    } catch (const std::bad_alloc& e) {
        PyErr_SetString(PyExc_MemoryError, e.what());
    } catch (const std::bad_cast& e) {
        PyErr_SetString(PyExc_TypeError, e.what());
    } catch (const std::bad_typeid& e) {
        PyErr_SetString(PyExc_TypeError, e.what());
    } catch (const std::domain_error& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::invalid_argument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::ios_base::failure& e) {
        PyErr_SetString(PyExc_IOError, e.what());
    } catch (const std::out_of_range& e) {
        PyErr_SetString(PyExc_IndexError, e.what());
    } catch (const std::overflow_error& e) {
        PyErr_SetString(PyExc_OverflowError, e.what());
    } catch (const std::range_error& e) {
        PyErr_SetString(PyExc_ArithmeticError, e.what());
    } catch (const std::underflow_error& e) {
        PyErr_SetString(PyExc_ArithmeticError, e.what());
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "Unknown exception");
    }
}

bool version_mismatch(const char* compiletime, const char* runtime)
{
    // Only the major digit and the first minor digit are compared, so "3.10"
    // (read as "3.1") differs from "3.9" while "3.9.18" matches it.
    return compiletime[0] != runtime[0] || compiletime[2] != runtime[2];
}
