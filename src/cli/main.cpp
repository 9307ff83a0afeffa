#include "cli/Cli.h"

int main(int argc, char** argv) { return karvello::RunCli(argc, argv); }
