// qz.cpp — the qz program: qarn's files with the conventions of the usual command-line compressors.
int main() { return 1; }
