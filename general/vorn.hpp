// The shell's command dispatcher: cuts a line into words and runs the built-in command.
#pragma once

namespace tavix {

// One built-in command: its name (matched case-sensitively against the first word) and the
// routine that runs it with all the words of the line, the command itself included.
struct shell_command {
    const char* name;
    void (*run)(char** words, int count);
};

// Runs one command line. Keeps nothing of `arg` or of its words once it returns.
void execute_vorn(const char* arg);

} // namespace tavix
