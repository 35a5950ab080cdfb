// tamseld: the traffic filter as a root daemon.
#include "Daemon.h"

int main(int argc, char** argv) { return tamsel::daemon::run(argc, argv, "tamseld"); }
