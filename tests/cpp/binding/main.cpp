// The binding tests need a live interpreter: the translation sets Python errors.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    Py_InitializeEx(0);  // no signal handlers: the runner stays interruptible
    const int result = RUN_ALL_TESTS();
    if (Py_FinalizeEx() < 0)
        return 1;
    return result;
}
