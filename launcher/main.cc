#include "launcher/launch.h"

int main(int argc, char** argv) { return run_launch(argc, argv); }
