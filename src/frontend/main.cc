// quarnunzip: program entry.
#include "frontend/frontend.h"

int main(int argc, char** argv) { return qn::fe::run(argc, argv); }
