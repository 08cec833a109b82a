#include "pack/cli.h"

int main(int argc, char** argv) { return run_sfx_pack(argc, argv); }
