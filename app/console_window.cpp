#include "app/console_window.hpp"

#include <iostream>
#include <limits>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace punchprobe {

bool console_is_ours_alone()
{
#ifdef _WIN32
    // The list holds every process attached to the console; a second entry
    // means a shell (or a script host) keeps the window open after us.
    DWORD processes[2];
    if (GetConsoleProcessList(processes, 2) != 1) return false;
    // Only a console keyboard can answer the prompt; with input from a file
    // or pipe, waiting would hang whoever started us.
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
#else
    return false;
#endif
}

bool stderr_is_terminal()
{
#ifdef _WIN32
    return false;
#else
    return isatty(STDERR_FILENO) == 1;
#endif
}

void hold_console_until_enter()
{
    if (!console_is_ours_alone()) return;
    std::cout << "Press Enter to close this window." << std::endl;
    std::cin.clear();
    std::cin.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
}

}  // namespace punchprobe
