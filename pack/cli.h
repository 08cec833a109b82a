#ifndef PACK_CLI_H_
#define PACK_CLI_H_

/// The whole sfx_pack program: reads the command line (argv[1] is the command: create,
/// inspect or verify), runs the command and prints its output, its warnings and at most one
/// error line, "sfx_pack: error: ...", on standard error.
/// Returns the exit status: 0 on success, 1 for a fault in an input file (or a failed write),
/// 2 for a wrong command line.
int run_sfx_pack(int argc, char** argv);

#endif  // PACK_CLI_H_
