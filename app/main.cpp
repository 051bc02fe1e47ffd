#include "app/console_window.hpp"
#include "app/entry.hpp"

int main(int argc, char* argv[])
{
    const int status = punchprobe::run_entry(argc, argv);
    // Started by a double-click, the window would vanish with the verdict.
    punchprobe::hold_console_until_enter();
    return status;
}
