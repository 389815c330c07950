#include "parameters.h"

#include <fstream>

#include <boost/regex.hpp>

Parameters::Parameters(const std::string& inputfile)
{
    // A file that cannot be opened leaves the stream failed and the map empty; the
    // first lookup then reports the missing key.
    std::ifstream infile(inputfile);
    const boost::regex regex_keyword("^\\s*([a-zA-Z0-9_]+)\\s*=\\s*([0-9.]+)\\s*$");

    std::string line;
    boost::smatch what1;
    while (std::getline(infile, line)) {
        if (boost::regex_match(line, what1, regex_keyword))
            set_param(what1[1], what1[2]);
    }
}

void Parameters::set_param(const std::string& name, const std::string& p)
{
    params.emplace(name, p);  // no-op when the key exists: the first occurrence wins
}
