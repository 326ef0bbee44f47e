// The shell's command dispatcher: cuts a line into words and runs the built-in command.
#pragma once

namespace tavix {

// One built-in command: its name (matched case-sensitively against the first word), the
// routine that runs it with all the words of the line, the command itself included, and what
// the commands list says of it. A command that takes paths or text gets its words with
// double-quoted parts joined: a quoted part belongs to its word whole, spaces included, and
// loses its quotes.
struct shell_command {
    const char* name;
    void (*run)(char** words, int count);
    const char* about;
    bool quoted;
};

// Runs one command line. Keeps nothing of `arg` or of its words once it returns.
void execute_vorn(const char* arg);
// The prompt, with the current directory's path.
void print_prompt();
// What the keyboard hands a finished line to: runs it, then prints the next prompt.
void run_shell_line(const char* line);

} // namespace tavix
