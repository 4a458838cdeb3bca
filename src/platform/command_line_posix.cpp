#include "platform/command_line.h"

std::vector<std::string> CommandLineUtf8(int argc, char** argv) { return {argv, argv + argc}; }

std::unique_ptr<std::streambuf> ConsoleTextBuffer(FILE*) { return nullptr; }
