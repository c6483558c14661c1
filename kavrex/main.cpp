// main.cpp -- the kavrex executable's entry point.
#include "kavrex/front_end.h"

int main(int argc, char** argv) { return kvf::kavrex_main(argc, argv); }
