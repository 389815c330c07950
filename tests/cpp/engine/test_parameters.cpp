// The parameter file: which lines count, which value texts convert to which type.
#include <gtest/gtest.h>

#include <limits>

#include "support.h"

namespace {

std::string missing_message(const Parameters& p, const std::string& key)
{
    try {
        p.get_param<double>(key);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "no exception";
}

TEST(Parameters, AcceptsBlanksTabsAndCarriageReturnsAroundKeyAndValue)
{
    for (const char* line : {"nr_particles=8\n", "   nr_particles = 8\n", "\tnr_particles\t=\t8\t\n",
                             "nr_particles = 8\r\n", "nr_particles=8  \r\n", "nr_particles = 8"}) {
        const auto p = params_from(line);
        ASSERT_EQ(p->entries().count("nr_particles"), 1u) << line;
        EXPECT_EQ(p->entries().at("nr_particles"), "8") << line;
        EXPECT_EQ(p->get_param<int>("nr_particles"), 8);
    }
}

TEST(Parameters, SkipsLinesThePatternRejects)
{
    const auto p = params_from(
        "# comment\n"
        "\n"
        "kT = 1.0 # target temperature\n"
        "epsilon = -1\n"
        "sigma = 1e0\n"
        "tau = 1,5\n"
        "mass-2 = 1\n"
        "a = b = 1\n"
        "Kt = 2\n");
    EXPECT_TRUE(p->entries().count("Kt"));
    EXPECT_EQ(p->entries().size(), 1u);
    EXPECT_EQ(missing_message(*p, "kT"), "Could not find parameter: kT");
    EXPECT_EQ(missing_message(*p, "epsilon"), "Could not find parameter: epsilon");
    EXPECT_EQ(missing_message(*p, "sigma"), "Could not find parameter: sigma");
}

TEST(Parameters, FirstOccurrenceOfAKeyWins)
{
    const auto p = params_from("a = 0\nb = 0\nmass = 1.0\nc = 0\nd = 0\ne = 0\nf = 0\ng = 0\nmass = 2.0\n");
    EXPECT_EQ(p->get_param<double>("mass"), 1.0);
}

TEST(Parameters, EmptyFileGivesMissingKeys)
{
    const auto p = params_from("");
    EXPECT_TRUE(p->entries().empty());
    EXPECT_EQ(missing_message(*p, "stepsize"), "Could not find parameter: stepsize");
}

TEST(Parameters, ConvertsEachTypeOnEveryCall)
{
    const auto p = params_from("n = 100\nx = 100.0\ny = 2.\nz = .5\nlead = 007\nbad = 1.2.3\ndot = .\ndots = 1..2\n");
    EXPECT_EQ(p->get_param<int>("n"), 100);
    EXPECT_EQ(p->get_param<unsigned int>("n"), 100u);
    EXPECT_EQ(p->get_param<double>("n"), 100.0);
    EXPECT_EQ(p->get_param<double>("x"), 100.0);
    EXPECT_EQ(p->get_param<double>("y"), 2.0);
    EXPECT_EQ(p->get_param<double>("z"), 0.5);
    EXPECT_EQ(p->get_param<unsigned int>("lead"), 7u);

    EXPECT_THROW(p->get_param<int>("x"), boost::bad_lexical_cast);
    EXPECT_THROW(p->get_param<unsigned int>("x"), boost::bad_lexical_cast);
    EXPECT_THROW(p->get_param<int>("y"), boost::bad_lexical_cast);
    for (const char* key : {"bad", "dot", "dots"})
        EXPECT_THROW(p->get_param<double>(key), boost::bad_lexical_cast) << key;
    std::string message = "nothing thrown";
    try {
        p->get_param<int>("x");
    } catch (const std::bad_cast& e) {  // what the binding maps to TypeError
        message = e.what();
    }
    EXPECT_EQ(message, "bad lexical cast: source type value could not be interpreted as target");
}

TEST(Parameters, IntegerLimits)
{
    const auto p = params_from("u_max = 4294967295\nu_over = 4294967296\ni_max = 2147483647\ni_over = 2147483648\n");
    EXPECT_EQ(p->get_param<unsigned int>("u_max"), std::numeric_limits<unsigned int>::max());
    EXPECT_THROW(p->get_param<unsigned int>("u_over"), boost::bad_lexical_cast);
    EXPECT_EQ(p->get_param<int>("i_max"), std::numeric_limits<int>::max());
    EXPECT_THROW(p->get_param<int>("i_over"), boost::bad_lexical_cast);
    EXPECT_EQ(p->get_param<unsigned int>("i_over"), 2147483648u);
}

}  // namespace
