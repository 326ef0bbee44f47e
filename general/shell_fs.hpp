// The shell's commands on the mounted volume: listing, moving about, reading, writing, deleting, renaming, running scripts.
#pragma once

namespace tavix {

// True with a volume mounted, after whatever an earlier failure left pending is written;
// otherwise false after the line "<who>: error: no filesystem mounted".
bool volume_ready(const char* who);

// Each takes the words of its line, quotes already joined (the command itself is word 0),
// prints one line naming the cause when it cannot do its work, and then leaves the volume as
// it was.
void run_dir(char** words, int count);
void run_cd(char** words, int count);
void run_pwd(char** words, int count);
void run_cat(char** words, int count);
void run_write(char** words, int count);
void run_append(char** words, int count);
void run_rm(char** words, int count);
void run_mkdir(char** words, int count);
void run_rmdir(char** words, int count);
void run_mv(char** words, int count);
void run_run(char** words, int count);
void run_df(char** words, int count);
// The clock's date and time, as dir shows the dates of files.
void run_date(char** words, int count);

} // namespace tavix
