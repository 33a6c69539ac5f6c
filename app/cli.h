// What the two Linux commands share on their command lines.
#pragma once

namespace aks {

// "--help" or "-h"; "--version" or "-V".
bool IsHelp(const char* arg);
bool IsVersion(const char* arg);

// Writes `text` to standard output. An answer that cannot be delivered (a
// full disk, a closed descriptor) is a failure: one line, status 1.
// Returns the exit status.
int Answer(const char* program, const char* text);

// One line on standard error, "program: why", for a keyboard that cannot be
// reached. Returns 1.
int NoKeyboard(const char* program, const char* why);

// One line on standard error: "program: a: b: c (try 'program --help')".
// Returns 2, the status of bad arguments.
int BadArgument(const char* program, const char* what, const char* why);

}  // namespace aks
