#include "app/port_argument.hpp"

#include <stdexcept>

namespace punchprobe {

int parse_port_argument(const std::string& text)
{
    // libstdc++ names the failing function ("stoi"); users see our texts.
    try {
        return std::stoi(text, nullptr, 10);
    } catch (const std::invalid_argument&) {
        throw std::invalid_argument("invalid stoi argument");
    } catch (const std::out_of_range&) {
        throw std::out_of_range("stoi argument out of range");
    }
}

}  // namespace punchprobe
