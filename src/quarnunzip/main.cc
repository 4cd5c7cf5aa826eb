// quarnunzip: program entry.
#include "driver/driver.h"

int main(int argc, char** argv) { return qn::drv::run(argc, argv); }
