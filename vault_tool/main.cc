// Any platform; the whole process is one run.
#include "vault_tool.h"

int main(int argc, char** argv) { return RunDropped(VaultToolProfile, argc, argv); }
