#include "program.h"

int main(int argc, char *argv[]) { return zuno::runProgram(argc > 0 ? argv[0] : nullptr, {}); }
