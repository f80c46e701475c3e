// feldaro-cli's console: text out, the typed confirmation in, and the interrupt keys.
// One implementation per platform.
#pragma once

#include <string>
#include <vector>

// The command line in UTF-8 (on Windows from the system's UTF-16 command line, so that names
// such as "Budynek Ż" arrive whole whatever the code page).
std::vector<std::string> CommandLineUtf8(int argc, char** argv);
// Sets the console up before anything is written: UTF-8 output, and standard output and input
// carry bytes as they are (a report or PDF on "-" is the file's bytes).
void ConsoleOpen();
// From here on the interrupts (Ctrl-C, and on Linux SIGTERM, on Windows Ctrl-Break and the
// console's closing) set gInterrupted, so the command stops at its next safe point and the
// program exits with status 130.
void WatchInterrupts();
bool StdinIsTerminal();
bool StdoutIsTerminal();
// Waits up to timeoutMs for one byte of what is typed: 1 with the byte in c, 0 when none
// came yet, -1 at the end of input. An interrupt cuts the wait short.
int ConsoleReadByte(int timeoutMs, char& c);
