#pragma once

// The run log: a log file per program in a log directory, and syslog. It gets
// the start line, the ignored-argument warnings and the exit line.
namespace qor {

inline constexpr int RUNLOG_CAT_RUN = 1;  // start, exit and argument warnings

// Reads the logging options from the argument vector, opens syslog and the log
// file, registers the exit handler and writes "started". Never stops the program.
void runlog_init(int argc, char** argv, const char* program_name);

// Writes one message (cut to 511 characters) to the channels whose mask shares
// a bit with categories. Nothing goes to standard error.
void runlog_event(int categories, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// 1 once runlog_init has begun, else 0.
int runlog_ready();

// Registered with on_exit: writes "stopped exit=N" and closes file and syslog.
void runlog_exit_handler(int status, void* arg);

}  // namespace qor
