// tavorin-relay: carries a head tracker's TCP stream to Opentrack as UDP datagrams.
#include "run.h"

int main(int argc, char* argv[]) { return run(argc, argv); }
