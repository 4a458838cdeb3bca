#pragma once

#include <cstdio>
#include <memory>
#include <streambuf>
#include <string>
#include <vector>

// The program's arguments as UTF-8, whatever the system's code page: on
// Windows from the wide command line (argv holds them in the ANSI code page,
// where a name such as C:\Users\José\x.qeff outside it arrives with '?' for
// its letters); elsewhere argv as it is.
std::vector<std::string> CommandLineUtf8(int argc, char** argv);

// Where `stream` (standard output or error) is a Windows console, a buffer
// that writes the program's UTF-8 to it as UTF-16, which shows every
// character whatever the console's code page; nullptr elsewhere (a pipe, a
// file, any POSIX terminal), where the UTF-8 goes out as it is.
std::unique_ptr<std::streambuf> ConsoleTextBuffer(FILE* stream);
