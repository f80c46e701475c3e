// feldaro-cli's console: text out, the typed confirmation in, and the interrupt keys.
// One implementation per platform.
#pragma once

// Sets the console up for the commands: UTF-8 output, and the interrupts (Ctrl-C, and on
// Linux SIGTERM, on Windows Ctrl-Break and the console's closing) set gInterrupted, so the
// command stops at its next safe point and the program exits with status 130.
void ConsoleStart();
bool StdinIsTerminal();
bool StdoutIsTerminal();
// Waits up to timeoutMs for one byte of what is typed: 1 with the byte in c, 0 when none
// came yet, -1 at the end of input. An interrupt cuts the wait short.
int ConsoleReadByte(int timeoutMs, char& c);
