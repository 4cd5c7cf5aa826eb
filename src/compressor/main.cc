// quarnzip: program entry (stub, to be written).
#include <cstdio>
int main() { std::puts("quarnzip: not yet available"); return 1; }
