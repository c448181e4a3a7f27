#include "protoencode.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <unistd.h>

namespace {

std::string shellQuote(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

std::string readAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace

std::string protocEncode(const std::string& schema, const std::string& type, const std::string& text)
{
    char dirTemplate[] = "/tmp/vl_protoc_XXXXXX";
    if (!::mkdtemp(dirTemplate)) {
        ADD_FAILURE() << "cannot create a temporary directory for protoc";
        return std::string();
    }
    const std::string dir = dirTemplate;
    const std::string input = dir + "/in.txt";
    const std::string output = dir + "/out.bin";
    const std::string errors = dir + "/err.txt";
    std::ofstream(input, std::ios::binary) << text;

    const std::string::size_type slash = schema.rfind('/');
    const std::string includeDir = slash == std::string::npos ? "." : schema.substr(0, slash);
    const std::string file = slash == std::string::npos ? schema : schema.substr(slash + 1);
    const std::string command = "protoc --encode=" + shellQuote(type) + " -I " + shellQuote(includeDir) + " "
                                + shellQuote(file) + " < " + shellQuote(input) + " > " + shellQuote(output)
                                + " 2> " + shellQuote(errors);
    const int status = std::system(command.c_str());
    std::string encoded = readAll(output);
    if (status != 0) {
        ADD_FAILURE() << "protoc failed (" << status << "): " << command << "\n" << readAll(errors);
        encoded.clear();
    }
    ::unlink(input.c_str());
    ::unlink(output.c_str());
    ::unlink(errors.c_str());
    ::rmdir(dir.c_str());
    return encoded;
}
