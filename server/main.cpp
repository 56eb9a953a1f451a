// kestrine-server: the reference Kestrine service and its data-folder tools.
#include "cli.h"

int main(int argc, char** argv) {
    return kserver::RunCli(argc, argv);
}
