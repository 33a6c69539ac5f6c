#include "keystate_cli.h"

int main(int argc, char** argv) { return aks::KeystateMain(argc, argv); }
