#include "xenvar.h"

int main(int argc, char** argv) { run(argc, argv); }
