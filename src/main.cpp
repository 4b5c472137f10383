// main.cpp — the qarn program; all of its work is in the library.
#include "qarn.h"

int main(int argc, char** argv) { return qarn::qarn_main(argc, argv); }
