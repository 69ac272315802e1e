#include "vault_tool.h"

int main(int argc, char** argv) { return RunDropped(VaultToolProfile, argc, argv); }
