#pragma once

#include <iostream>
#include <sstream>
#include <string>

namespace punchprobe_test {

// Redirects std::cout and std::cerr into strings for the lifetime of the
// object, so in-process tests can compare the console byte for byte.
class ConsoleCapture {
public:
    ConsoleCapture()
        : old_out_(std::cout.rdbuf(out_.rdbuf())), old_err_(std::cerr.rdbuf(err_.rdbuf()))
    {
    }
    ~ConsoleCapture()
    {
        std::cout.rdbuf(old_out_);
        std::cerr.rdbuf(old_err_);
    }
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;

    std::string out() const { return out_.str(); }
    std::string err() const { return err_.str(); }

private:
    std::ostringstream out_;
    std::ostringstream err_;
    std::streambuf* old_out_;
    std::streambuf* old_err_;
};

}  // namespace punchprobe_test
