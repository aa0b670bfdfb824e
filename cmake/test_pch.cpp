// The suites' precompiled headers are built with this program, so they
// are built with the flags of a program.
int main() { return 0; }
