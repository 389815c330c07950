// Native exceptions through translate_exception, row by row, and the version rule
// of the import-time check.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <any>
#include <bitset>
#include <fstream>
#include <functional>
#include <ios>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>
#include <typeinfo>
#include <vector>

#include <boost/format.hpp>
#include <boost/lexical_cast.hpp>
#include <gtest/gtest.h>

#include "translate.h"

namespace {

struct Raised {
    std::string type;     // name of the Python exception class, "" when none was set
    std::string message;  // str() of the exception
};

// Runs `thrower` under a catch-all handler that translates, as the binding's
// guarded calls do, and takes the resulting Python error off the interpreter.
Raised translate(const std::function<void()>& thrower)
{
    try {
        thrower();
        ADD_FAILURE() << "nothing was thrown";
    } catch (...) {
        translate_exception();
    }
    Raised r;
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    if (!type)
        return r;
    PyErr_NormalizeException(&type, &value, &tb);
    r.type = reinterpret_cast<PyTypeObject*>(type)->tp_name;
    if (PyObject* text = PyObject_Str(value)) {
        r.message = PyUnicode_AsUTF8(text);
        Py_DECREF(text);
    }
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    PyErr_Clear();
    return r;
}

// what() of whatever `thrower` throws, for the exceptions whose text the library picks.
std::string what_of(const std::function<void()>& thrower)
{
    try {
        thrower();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

struct Polymorphic {
    virtual ~Polymorphic() = default;
};

struct Case {
    const char* label;
    std::function<void()> thrower;
    const char* python_type;
};

// One or more native types per row, in the order of the table: the row's own type
// and types derived from it, thrown the way real code throws them where possible.
const std::vector<Case>& table()
{
    static const std::vector<Case> cases = {
        // 1
        {"bad_alloc", [] { throw std::bad_alloc(); }, "MemoryError"},
        {"bad_array_new_length", [] { volatile long n = -1; delete[] new int[n]; }, "MemoryError"},
        // 2
        {"bad_cast", [] { throw std::bad_cast(); }, "TypeError"},
        {"bad_lexical_cast", [] { (void)boost::lexical_cast<unsigned int>(std::string("10.0")); }, "TypeError"},
        {"bad_any_cast", [] { (void)std::any_cast<int>(std::any(1.0)); }, "TypeError"},
        // 3
        {"bad_typeid",
         [] {
             Polymorphic* volatile p = nullptr;
             (void)typeid(*p);
         },
         "TypeError"},
        // 4
        {"domain_error", [] { throw std::domain_error("outside the domain"); }, "ValueError"},
        // 5
        {"invalid_argument", [] { throw std::invalid_argument("bad"); }, "ValueError"},
        {"stoi", [] { (void)std::stoi("x"); }, "ValueError"},
        // 6
        {"ios_base::failure", [] { throw std::ios_base::failure("stream broke"); }, "OSError"},
        {"ifstream",
         [] {
             std::ifstream in;
             in.exceptions(std::ios::failbit);
             in.open("/no/such/dir/file");
         },
         "OSError"},
        // 7
        {"out_of_range", [] { throw std::out_of_range("index 7"); }, "IndexError"},
        {"vector::at", [] { (void)std::vector<int>(2).at(3); }, "IndexError"},
        // 8
        {"overflow_error", [] { throw std::overflow_error("too big"); }, "OverflowError"},
        {"bitset::to_ulong", [] { (void)std::bitset<100>().set().to_ulong(); }, "OverflowError"},
        // 9
        {"range_error", [] { throw std::range_error("unstable"); }, "ArithmeticError"},
        // 10
        {"underflow_error", [] { throw std::underflow_error("too small"); }, "ArithmeticError"},
        // 11: everything else derived from std::exception
        {"runtime_error", [] { throw std::runtime_error("Could not find parameter: kT"); }, "RuntimeError"},
        {"length_error", [] { std::string().reserve(std::string().max_size() + 1); }, "RuntimeError"},
        {"logic_error", [] { throw std::logic_error("logic"); }, "RuntimeError"},
        {"system_error", [] { throw std::system_error(std::make_error_code(std::errc::io_error), "sys"); },
         "RuntimeError"},
        {"boost::format", [] { (void)(boost::format("%1% %2%") % 1).str(); }, "RuntimeError"},
        {"exception", [] { throw std::exception(); }, "RuntimeError"},
    };
    return cases;
}

TEST(TranslateException, EveryRowOfTheTableWithTheWhatText)
{
    for (const Case& c : table()) {
        SCOPED_TRACE(c.label);
        const std::string expected = what_of(c.thrower);
        ASSERT_FALSE(expected.empty());
        const Raised r = translate(c.thrower);
        EXPECT_EQ(r.type, c.python_type);
        EXPECT_EQ(r.message, expected);
    }
}

TEST(TranslateException, MessagesAreTheNativeTextUnchanged)
{
    EXPECT_EQ(translate([] { throw std::invalid_argument("bad"); }).message, "bad");
    EXPECT_EQ(translate([] { (void)boost::lexical_cast<int>(std::string("1.2.3")); }).message,
              "bad lexical cast: source type value could not be interpreted as target");
    EXPECT_EQ(translate([] { throw std::runtime_error("Could not find parameter: stepsize"); }).message,
              "Could not find parameter: stepsize");
}

TEST(TranslateException, AnythingElseIsAnUnknownRuntimeError)
{
    struct NotAStdException {};
    const std::function<void()> throwers[] = {
        [] { throw 42; },
        [] { throw NotAStdException(); },
        [] { throw "a C string"; },
    };
    for (const auto& thrower : throwers) {
        const Raised r = translate(thrower);
        EXPECT_EQ(r.type, "RuntimeError");
        EXPECT_EQ(r.message, "Unknown exception");
    }
}

// Types deriving from two rows: the earlier row wins.
struct CastAndDomain : std::bad_cast, std::domain_error {
    CastAndDomain() : std::domain_error("cast and domain") {}
    const char* what() const noexcept override { return "cast and domain"; }
};
struct OverflowAndRange : std::overflow_error, std::range_error {
    OverflowAndRange() : std::overflow_error("overflow and range"), std::range_error("overflow and range") {}
    const char* what() const noexcept override { return "overflow and range"; }
};
struct RangeAndInvalid : std::range_error, std::invalid_argument {
    RangeAndInvalid() : std::range_error("range and invalid"), std::invalid_argument("range and invalid") {}
    const char* what() const noexcept override { return "range and invalid"; }
};

TEST(TranslateException, FirstMatchingRowWins)
{
    EXPECT_EQ(translate([] { throw CastAndDomain(); }).type, "TypeError");
    EXPECT_EQ(translate([] { throw OverflowAndRange(); }).type, "OverflowError");
    const Raised r = translate([] { throw RangeAndInvalid(); });
    EXPECT_EQ(r.type, "ValueError");  // row 5 comes before row 9
    EXPECT_EQ(r.message, "range and invalid");
}

TEST(TranslateException, PendingPythonErrorStands)
{
    const std::function<void()> throwers[] = {
        [] { throw std::invalid_argument("dropped"); },
        [] { throw std::bad_alloc(); },
        [] { throw 42; },
    };
    for (const auto& thrower : throwers) {
        PyErr_SetString(PyExc_KeyError, "pending");
        const Raised r = translate(thrower);
        EXPECT_EQ(r.type, "KeyError");
        EXPECT_EQ(r.message, "'pending'");
    }
}

TEST(VersionMismatch, ComparesMajorAndFirstMinorCharacterOnly)
{
    EXPECT_FALSE(version_mismatch("3.9", "3.9"));
    EXPECT_FALSE(version_mismatch("3.9", "3.9.18"));
    EXPECT_TRUE(version_mismatch("3.9", "3.8"));
    EXPECT_TRUE(version_mismatch("3.9", "3.1"));  // how a 3.10 interpreter reads
    EXPECT_TRUE(version_mismatch("3.9", "3.10"));
    EXPECT_TRUE(version_mismatch("3.9", "2.9"));
    EXPECT_FALSE(version_mismatch("3.1", "3.11"));  // 3.11 against 3.1x: not told apart
}

}  // namespace
