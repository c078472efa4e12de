#pragma once

class CommandLine;

// The collector's commands. Each returns the process's exit status: 0 done, 1 the database or
// the network refused, 2 the options cannot be used.
namespace Commands {

int serve(const CommandLine &options);
int announce(const CommandLine &options);
int exportEvents(const CommandLine &options);
int forget(const CommandLine &options);
int account(const CommandLine &options);

} // namespace Commands
