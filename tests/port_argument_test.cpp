// The port argument is read the way std::stoi reads it, but the failures
// carry the program's own texts, which the entry prints as they are.

#include <stdexcept>
#include <string>
#include <typeinfo>

#include <gtest/gtest.h>

#include "app/port_argument.hpp"
#include "support/port_argument_cases.hpp"

namespace {

using namespace punchprobe_test;

TEST(PortArgument, AcceptsWhatStoiReads)
{
    for (const auto& c : accepted_ports()) {
        SCOPED_TRACE("argument \"" + c.text + "\"");
        EXPECT_EQ(punchprobe::parse_port_argument(c.text), c.port);
    }
}

TEST(PortArgument, RefusesWithExactTypeAndText)
{
    for (const auto& c : refused_ports()) {
        SCOPED_TRACE("argument \"" + c.text + "\"");
        const std::type_info& type =
            c.refusal == Refusal::invalid ? typeid(std::invalid_argument) : typeid(std::out_of_range);
        try {
            const int port = punchprobe::parse_port_argument(c.text);
            ADD_FAILURE() << "accepted as " << port;
        } catch (const std::exception& error) {
            EXPECT_EQ(typeid(error), type) << "thrown: " << typeid(error).name();
            EXPECT_STREQ(error.what(), c.what.c_str());
        }
    }
}

}  // namespace
