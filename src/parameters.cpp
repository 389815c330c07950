#include "parameters.h"

#include <cerrno>
#include <sstream>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/regex.hpp>

namespace {

// Closes the descriptor on every way out.
struct FileDescriptor {
    int fd;
    ~FileDescriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

// The whole file, at most `limit` bytes. O_NONBLOCK makes the open of a FIFO
// without a writer return at once; only a regular file is read at all.
std::string read_regular_file(const std::string& path, std::size_t limit)
{
    FileDescriptor file{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)};
    struct stat st;
    if (file.fd < 0 || ::fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode))
        throw ParameterFileError(path);

    std::string text;
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(file.fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            throw ParameterFileError(path);
        }
        if (got == 0)
            return text;
        if (text.size() + static_cast<std::size_t>(got) > limit) {
            std::ostringstream msg;
            msg << "parameter file " << path << " is longer than " << limit
                << " bytes: a parameter file holds a few key = value lines";
            throw std::invalid_argument(msg.str());
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
}

}  // namespace

bool Parameters::parse_line(const std::string& line, std::string& key, std::string& value)
{
    static const boost::regex regex_keyword("^\\s*([a-zA-Z0-9_]+)\\s*=\\s*([0-9.]+)\\s*$");
    boost::smatch what;
    if (!boost::regex_match(line, what, regex_keyword))
        return false;
    key = what[1];
    value = what[2];
    return true;
}

Parameters::Parameters(const std::string& inputfile)
{
    std::istringstream infile(read_regular_file(inputfile, max_file_bytes));
    std::string line, key, value;
    while (std::getline(infile, line)) {
        if (parse_line(line, key, value))
            set_param(key, value);
    }
}

Parameters::Parameters(const std::unordered_map<std::string, std::string>& values)
    : params(values)
{
}

void Parameters::set_param(const std::string& name, const std::string& p)
{
    params.emplace(name, p);  // no-op when the key exists: the first occurrence wins
}

void Parameters::override_param(const std::string& name, const std::string& value)
{
    params[name] = value;
}
