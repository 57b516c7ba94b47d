#include "shell/app.h"

int main(int argc, char **argv) { return AppMain(argc, argv); }
